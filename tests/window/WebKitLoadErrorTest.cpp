#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include "platform/WebErrors.h"
#include "platform/linux/gtk/WebKitLoadError.h"

namespace taviro::test::window {
namespace {

using platform::gtk::loadErrorFromGError;

Error translated(GQuark domain, int code, const char* message) {
    GError* error = g_error_new_literal(domain, code, message);
    Error result = loadErrorFromGError(error);
    g_error_free(error);
    return result;
}

TEST(WebKitLoadError, ACancelledRequestGetsTheSharedCancelledCode) {
    Error error = translated(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED, "Load request cancelled");
    EXPECT_EQ(error.domain, platform::kUrlLoadingErrorDomain);
    EXPECT_EQ(error.code, platform::kUrlLoadingCancelledCode);
    EXPECT_EQ(error.description, "Load request cancelled");
}

TEST(WebKitLoadError, APolicyInterruptionGetsTheSharedInterruptedCode) {
    Error error = translated(WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE,
                             "Frame load was interrupted");
    EXPECT_EQ(error.domain, platform::kWebKitErrorDomain);
    EXPECT_EQ(error.code, platform::kFrameLoadInterruptedCode);
    EXPECT_EQ(error.description, "Frame load was interrupted");
}

TEST(WebKitLoadError, AnythingElseKeepsItsOwnDomainAndCode) {
    Error refused = translated(G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED, "Connection refused");
    EXPECT_EQ(refused.domain, "g-io-error-quark");
    EXPECT_EQ(refused.code, G_IO_ERROR_CONNECTION_REFUSED);
    EXPECT_EQ(refused.description, "Connection refused");

    Error otherPolicy = translated(WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI, "Cannot show");
    EXPECT_EQ(otherPolicy.domain, g_quark_to_string(WEBKIT_POLICY_ERROR));
    EXPECT_EQ(otherPolicy.code, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI);

    Error otherNetwork = translated(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL, "Unknown protocol");
    EXPECT_EQ(otherNetwork.domain, g_quark_to_string(WEBKIT_NETWORK_ERROR));
    EXPECT_EQ(otherNetwork.code, WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL);
}

TEST(WebKitLoadError, ATimeoutIsTheURLLoadingTimeout) {
    Error error = platform::gtk::loadTimeoutError();
    EXPECT_EQ(error.domain, "URLLoadingErrorDomain");
    EXPECT_EQ(error.code, -1001);
    EXPECT_EQ(error.description, "请求超时。");
}

}  // namespace
}  // namespace taviro::test::window
