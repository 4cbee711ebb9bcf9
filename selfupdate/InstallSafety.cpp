#include "selfupdate/InstallSafety.h"

#include <nlohmann/json.hpp>

namespace taviro {

std::string updateSafetyURL(int localPort) {
    return "http://127.0.0.1:" + std::to_string(localPort) + "/api/update/install-safety";
}

InstallSafety readInstallSafety(const Result<platform::HttpResponse>& answer) {
    nlohmann::json body;
    if (answer && answer->status >= 200 && answer->status <= 299 && answer->body) {
        body = nlohmann::json::parse(*answer->body, nullptr, /*allow_exceptions=*/false);
    }
    if (!body.is_object()) return {false, "更新前未能确认任务状态，请稍后重试"};
    auto safe = body.find("safe_to_install");
    InstallSafety result{safe != body.end() && *safe == true, ""};
    if (auto message = body.find("message"); message != body.end() && message->is_string()) {
        result.message = message->get<std::string>();
    } else if (!result.safe) {
        result.message = "有任务正在运行，完成后再安装更新";
    }
    return result;
}

}  // namespace taviro
