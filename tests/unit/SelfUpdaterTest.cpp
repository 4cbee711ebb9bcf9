// The self-update flow's entry point and its reports to the page.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "selfupdate/SelfUpdater.h"
#include "tests/support/ShellHarness.h"

using namespace taviro;
using FlowState = UpdateFlowState;

namespace {

struct Flow {
    std::vector<std::string> steps;
    bool prepared = false;
    std::shared_ptr<test::RecordingWebView> view = std::make_shared<test::RecordingWebView>();
    std::shared_ptr<SelfUpdater> updater = SelfUpdater::create(
        platform::glibMainQueue(),
        {[this] { return prepared; }, [this] { steps.push_back("install"); },
         [this](UpdateSource s) { steps.push_back(s == UpdateSource::manual ? "check manual" : "check automatic"); }});
    Flow() { updater->setWebView(view); }

    // Starts the flow and returns the reports the page got, as "state message version".
    std::vector<std::string> start(UpdateSource source) {
        view->scripts.clear();
        updater->startUpdateFlow(source);
        test::runMainLoopFor(0.05);
        std::vector<std::string> reports;
        const std::string prefix = "window.__receiveUpdateStatus && window.__receiveUpdateStatus(";
        for (const auto& script : view->scripts) {
            auto report = nlohmann::json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 2));
            reports.push_back(report["state"].get<std::string>() + " " + report["message"].get<std::string>() +
                              (report.contains("version") ? " " + report["version"].get<std::string>() : ""));
        }
        return reports;
    }
};

}  // namespace

TEST(SelfUpdater, StartsOneCheckAndOtherwiseRepeatsWhereTheFlowStands) {
    using Reports = std::vector<std::string>;
    const auto automatic = UpdateSource::automatic, manual = UpdateSource::manual;
    struct Row { FlowState from; bool prepared, restartWish; UpdateSource source; FlowState to; Reports reports; const char* step; };
    const Row rows[] = {
        {FlowState::idle, false, false, automatic, FlowState::checking, {}, "check automatic"},
        {FlowState::failed, false, false, manual, FlowState::checking, {"checking 检查中..."}, "check manual"},
        {FlowState::fallback, false, false, manual, FlowState::checking, {"checking 检查中..."}, "check manual"},
        {FlowState::checking, false, false, manual, FlowState::checking, {"checking 检查中..."}, nullptr},
        {FlowState::checking, false, false, automatic, FlowState::checking, {}, nullptr},
        {FlowState::downloading, false, false, automatic, FlowState::downloading,
         {std::string("downloading ") + SelfUpdater::updateDownloadingMessage + " 2.0.0"}, nullptr},
        {FlowState::preparing, false, true, manual, FlowState::preparing, {"preparing 正在准备安装... 2.0.0"}, nullptr},
        {FlowState::idle, true, false, automatic, FlowState::ready, {std::string("ready ") + SelfUpdater::updateReadyMessage + " 2.0.0"},
         nullptr},
        {FlowState::ready, true, false, manual, FlowState::ready, {}, "install"},
        {FlowState::blocked, true, true, automatic, FlowState::blocked, {}, "install"},
        {FlowState::ready, false, false, automatic, FlowState::ready, {std::string("ready ") + SelfUpdater::updateReadyMessage + " 2.0.0"},
         nullptr},
        {FlowState::ready, false, false, manual, FlowState::ready, {}, "install"},
    };
    for (const auto& row : rows) {
        Flow flow;
        flow.prepared = row.prepared;
        flow.updater->setUpdateState(row.from);
        flow.updater->setUpdateShouldRestartWhenReady(row.restartWish);
        flow.updater->setPendingUpdateVersion("2.0.0");
        SCOPED_TRACE(std::string(rawValue(row.from)) + (row.source == manual ? " manual" : " automatic"));
        EXPECT_EQ(flow.start(row.source), row.reports);
        EXPECT_EQ(flow.updater->updateState(), row.to);
        EXPECT_EQ(flow.steps, row.step ? std::vector<std::string>{row.step} : std::vector<std::string>{});
        EXPECT_EQ(flow.updater->coreUpdateInProgress(), isCoreUpdateInProgress(row.to));
    }
    // Two clicks in a row: one check, two "checking" reports.
    Flow flow;
    flow.updater->startUpdateFlow(manual);
    EXPECT_EQ(flow.start(manual), (Reports{"checking 检查中...", "checking 检查中..."}));
    EXPECT_EQ(flow.steps, std::vector<std::string>{"check manual"});
}

TEST(SelfUpdater, ReportsAreJsonWithOnlyTheKeysTheyHaveAndStatesHaveExactlyTheirNames) {
    Flow flow;
    flow.updater->reportUpdateStatus("fallback", "引号\"与\n换行", "1.2.3", "https://example.test/d.zip");
    flow.updater->reportUpdateStatus("failed", "更新失败", std::nullopt);
    flow.updater->reportUpdateStatus("failed", "\xff", std::nullopt);  // not UTF-8: not sent at all
    test::runMainLoopFor(0.05);
    ASSERT_EQ(flow.view->scripts.size(), 2u);
    EXPECT_EQ(flow.view->scripts[1], R"(window.__receiveUpdateStatus && window.__receiveUpdateStatus({"message":"更新失败","state":"failed"});)");
    EXPECT_TRUE(flow.view->scripts[0].contains(R"("message":"引号\"与\n换行")")) << flow.view->scripts[0];
    for (auto [raw, state] : {std::pair{"no_update", std::optional(FlowState::noUpdate)}, {"noUpdate", std::nullopt},
                              {"", std::nullopt}, {"restarting", std::optional(FlowState::restarting)}}) {
        EXPECT_EQ(updateFlowStateFromRaw(raw), state) << raw;
    }
}
