#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

    // Publishes `package` with Info.plist version `version` as downloads/r.zip; returns its SHA-256.
    std::string publish(const std::filesystem::path& package, const std::string& version) {
        EXPECT_EQ(runCaptured({TAVIRO_UPDATE_SERVER, "release", package, version, root / "downloads/r.zip"}).status, 0);
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
