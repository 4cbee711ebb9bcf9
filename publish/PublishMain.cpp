// taviro-publish: the deployment's half of updates and feature packs. It makes key pairs, signs
// and zips feature packs that the application is sure to accept, and packages releases.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lib/DecimalParsing.h"
#include "publish/PackPublisher.h"
#include "publish/PublisherKey.h"
#include "publish/ReleasePublisher.h"

namespace {

using namespace taviro::publish;

constexpr const char* kUsage =
    "usage:\n"
    "  taviro-publish keygen --out DIR [--purpose packs|updates]\n"
    "  taviro-publish pack SOURCE_DIR --revision N --version V --min-app-version A\n"
    "                      --max-app-version-exclusive B --key PRIVATE_KEY --out ARCHIVE.zip\n"
    "  taviro-publish release TAVIRO_APP --out DIR [--key PRIVATE_KEY] [--channel stable]\n";

constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

// The command's one positional argument (if it takes one) and its options, each given once.
struct Arguments {
    std::optional<std::string> subject;
    std::map<std::string, std::string> options;
};

std::optional<Arguments> parse(int argc, char** argv, bool withSubject, const std::vector<std::string>& known) {
    Arguments parsed;
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (word.starts_with("--")) {
            const bool isKnown = std::find(known.begin(), known.end(), word) != known.end();
            if (!isKnown || i + 1 >= argc || parsed.options.contains(word)) return std::nullopt;
            parsed.options[word] = argv[++i];
        } else if (withSubject && !parsed.subject) {
            parsed.subject = word;
        } else {
            return std::nullopt;
        }
    }
    if (withSubject && !parsed.subject) return std::nullopt;
    return parsed;
}

int usage(const std::string& problem) {
    std::fprintf(stderr, "taviro-publish: %s\n%s", problem.c_str(), kUsage);
    return kBadUsage;
}

int failed(const taviro::Error& error) {
    std::fprintf(stderr, "taviro-publish: %s\n", error.description.c_str());
    return kFailed;
}

int keygen(const Arguments& arguments) {
    const std::string purposeName = arguments.options.contains("--purpose") ? arguments.options.at("--purpose") : "packs";
    if (purposeName != "packs" && purposeName != "updates") return usage("--purpose is packs or updates");
    if (!arguments.options.contains("--out")) return usage("keygen needs --out DIR");
    auto made = generateKeyPair(arguments.options.at("--out"), purposeName == "packs" ? KeyPurpose::packs : KeyPurpose::updates);
    if (!made) return failed(made.error());
    std::printf("private key: %s\npublic key: %s\n", made->first.c_str(), made->second.c_str());
    return 0;
}

int pack(const Arguments& arguments) {
    for (const char* required : {"--revision", "--version", "--min-app-version", "--max-app-version-exclusive", "--key", "--out"}) {
        if (!arguments.options.contains(required)) return usage(std::string("pack needs ") + required);
    }
    auto revision = taviro::parseSignedDecimal(arguments.options.at("--revision"));
    if (!revision || *revision < 1) return usage("--revision is a whole number of at least 1");
    auto key = readPrivateKey(arguments.options.at("--key"), KeyPurpose::packs);
    if (!key) return failed(key.error());
    PackOptions options{*arguments.subject, *revision, arguments.options.at("--version"),
                        arguments.options.at("--min-app-version"), arguments.options.at("--max-app-version-exclusive"),
                        arguments.options.at("--out")};
    auto published = publishPack(options, *key);
    if (!published) return failed(published.error());
    std::printf("%s\n", published->c_str());
    return 0;
}

int release(const Arguments& arguments) {
    if (!arguments.options.contains("--out")) return usage("release needs --out DIR");
    std::optional<PublisherKey> key;
    if (arguments.options.contains("--key")) {
        auto read = readPrivateKey(arguments.options.at("--key"), KeyPurpose::updates);
        if (!read) return failed(read.error());
        key = *read;
    }
    ReleaseOptions options{*arguments.subject, arguments.options.at("--out")};
    if (arguments.options.contains("--channel")) options.channel = arguments.options.at("--channel");
    auto published = publishRelease(options, key);
    if (!published) return failed(published.error());
    std::printf("%s\n%s\n", published->archive.c_str(), published->entry.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") return std::printf("%s", kUsage), 0;
    std::optional<Arguments> arguments;
    if (command == "keygen" && (arguments = parse(argc, argv, false, {"--out", "--purpose"}))) return keygen(*arguments);
    if (command == "pack" && (arguments = parse(argc, argv, true, {"--revision", "--version", "--min-app-version",
                                                                   "--max-app-version-exclusive", "--key", "--out"}))) {
        return pack(*arguments);
    }
    if (command == "release" && (arguments = parse(argc, argv, true, {"--out", "--key", "--channel"}))) return release(*arguments);
    return usage(command.empty() ? "no command" : "cannot read the arguments of \"" + command + "\"");
}
