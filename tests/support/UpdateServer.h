#pragma once

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

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
            auto made = runCaptured({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                     "-nodes", "-keyout", root / "key.pem", "-out", root / "cert.pem", "-days", "1",
                                     "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
            EXPECT_EQ(made.status, 0) << made.err;
            arguments.insert(arguments.end(), {"--tls", root / "cert.pem", root / "key.pem"});
        }
        platform::ChildProcessOptions options;
        options.executable = "/usr/bin/python3";
        options.arguments = arguments;
        options.environment = {{"PATH", "/usr/bin:/bin"}};
        process = platform::ChildProcess::launch(options).value();
        for (int i = 0; i < 200 && !std::filesystem::exists(root / "port"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        origin = std::string(tls ? "https" : "http") + "://127.0.0.1:" + readFile(root / "port");
    }
    ~UpdateServer() { process->terminate(); }

    // Publishes `package` with Info.plist version `version` as NAME; returns its SHA-256.
    std::string publish(const std::filesystem::path& package, const std::string& version,
                        const std::string& name = "r.zip") {
        EXPECT_EQ(runCaptured({TAVIRO_UPDATE_SERVER, "release", package, version, root / "downloads" / name}).status, 0);
        return platform::sha256HexOfFile(root / "downloads" / name).value();
    }
    void offer(nlohmann::json release) {
        writeFile(root / "answer.json", nlohmann::json{{"update_available", true}, {"release", release}}.dump());
    }
    int requestsFor(const std::string& prefix) const {
        int count = 0;
        if (std::filesystem::exists(root / "requests.log")) {
            for (const auto& line : readLines(root / "requests.log")) count += line.starts_with(prefix);
        }
        return count;
    }

    TempDir root;
    std::shared_ptr<platform::ChildProcess> process;
    std::string origin;
};

}  // namespace taviro::test
