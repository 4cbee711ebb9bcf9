#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

#include "platform/ChildProcess.h"
#include "platform/Crypto.h"
#include "tests/support/TestSupport.h"

namespace taviro::test {

// The update server of the tests, serving what its folder holds (tests/support/update-server.py).
struct UpdateServer {
    explicit UpdateServer(bool tls = false) {
        std::filesystem::create_directories(root / "downloads");
        std::vector<std::string> arguments{TAVIRO_UPDATE_SERVER, "serve", root.path(), "--port-file", root / "port"};
        if (tls) {
            EXPECT_EQ(runCaptured({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                   "-nodes", "-keyout", root / "key.pem", "-out", root / "cert.pem", "-days", "1",
                                   "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}).status, 0);
            arguments.insert(arguments.end(), {"--tls", root / "cert.pem", root / "key.pem"});
        }
        process = platform::ChildProcess::launch({"/usr/bin/python3", arguments, {{"PATH", "/usr/bin:/bin"}}, {}, {}, {}}).value();
        runMainLoopUntil([&] { return std::filesystem::exists(root / "port"); }, 5);
        origin = std::string(tls ? "https" : "http") + "://127.0.0.1:" + readFile(root / "port");
    }
    ~UpdateServer() { process->terminate(); }

    // Zips a copy of `package` with Info.plist version `version` as downloads/r.zip, as a release
    // archive holding Taviro.app, and returns its SHA-256. The publishing tool would refuse the
    // broken packages some tests need, so this zips them by hand.
    std::string publish(const std::filesystem::path& package, const std::string& version) {
        const auto copy = root / "release" / "Taviro.app";
        std::filesystem::remove_all(root / "release"), std::filesystem::remove(root / "downloads/r.zip");
        std::filesystem::create_directories(copy);
        std::filesystem::copy(package, copy, std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
        static const std::regex shortVersion("(<key>CFBundleShortVersionString</key>\\s*<string>)[^<]*");
        writeFile(copy / "Contents/Info.plist", std::regex_replace(readFile(copy / "Contents/Info.plist"), shortVersion, "$01" + version));
        EXPECT_EQ(runCaptured({"bsdtar", "--format", "zip", "-cf", root / "downloads/r.zip", "-C", root / "release", "Taviro.app"}).status, 0);
        return platform::sha256HexOfFile(root / "downloads/r.zip").value();
    }
    void offer(nlohmann::json release) {
        writeFile(root / "answer.json", nlohmann::json{{"update_available", true}, {"release", release}}.dump());
    }
    long requestsFor(const std::string& prefix) const {
        return std::ranges::count_if(readLines(root / "requests.log"), [&](const auto& l) { return l.starts_with(prefix); });
    }

    TempDir root;
    std::shared_ptr<platform::ChildProcess> process;
    std::string origin;
};

}  // namespace taviro::test
