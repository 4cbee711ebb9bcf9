#include "platform/Keychain.h"
#include "platform/linux/SessionBus.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <libsecret/secret.h>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <thread>

namespace taviro::platform {
namespace {

// The longest a caller may wait. D-Bus activation of a missing service, or a prompt for a locked
// collection, would otherwise hold it for 25 seconds or more.
constexpr auto kDeadline = std::chrono::seconds(1);

// After a call missed its deadline the keychain counts as absent for a while, so one start that
// asks it several times waits for it once, not once per question.
constexpr auto kQuietPeriod = std::chrono::seconds(30);
std::atomic<std::chrono::steady_clock::rep> quietUntil{0};

bool inQuietPeriod() { return std::chrono::steady_clock::now().time_since_epoch().count() < quietUntil.load(); }

constexpr const char* kLabel = "Taviro installation identity";

const SecretSchema* deviceSchema() {
    // Items are found by their attributes alone, so the schema name may change without losing them.
    static const SecretSchema schema = [] {
        SecretSchema value{};  // the reserved fields and the attribute list's terminator stay zero
        value.name = "com.vorda.kinoloom.device";
        value.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        value.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        value.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return value;
    }();
    return &schema;
}

// Runs one blocking libsecret call on a thread of its own and waits for it until the deadline.
// A late call is cancelled and left to finish by itself; it owns everything it touches through
// `State`, so nothing it uses goes away when the caller returns.
template <typename T>
T runWithDeadline(std::function<T(GCancellable*)> work, T fallback) {
    if (inQuietPeriod()) return fallback;
    struct State {
        std::mutex mutex;
        std::condition_variable finished;
        std::optional<T> result;
        GCancellable* cancellable = g_cancellable_new();
        ~State() { g_object_unref(cancellable); }
    };
    auto state = std::make_shared<State>();
    try {
        std::thread([state, work = std::move(work)] {
            T value = work(state->cancellable);
            std::lock_guard lock(state->mutex);
            state->result = std::move(value);
            state->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return fallback;
    }
    std::unique_lock lock(state->mutex);
    if (!state->finished.wait_for(lock, kDeadline, [&] { return state->result.has_value(); })) {
        lock.unlock();
        g_cancellable_cancel(state->cancellable);
        quietUntil = (std::chrono::steady_clock::now() + kQuietPeriod).time_since_epoch().count();
        return fallback;
    }
    return std::move(*state->result);
}

std::optional<std::string> lookup(const std::string& service, const std::string& account, GCancellable* cancellable) {
    GError* error = nullptr;
    SecretValue* value = secret_password_lookup_binary_sync(deviceSchema(), cancellable, &error, "service",
                                                            service.c_str(), "account", account.c_str(), nullptr);
    g_clear_error(&error);
    if (value == nullptr) return std::nullopt;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::string data(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);
    secret_value_unref(value);
    return data;
}

bool store(const std::string& service, const std::string& account, const std::string& data,
           GCancellable* cancellable) {
    // Bytes, not text: a value need not be valid UTF-8 and is kept exactly, white space included.
    SecretValue* value = secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream");
    GError* error = nullptr;
    // Storing under the same attributes replaces the existing item.
    gboolean stored = secret_password_store_binary_sync(deviceSchema(), SECRET_COLLECTION_DEFAULT, kLabel, value,
                                                        cancellable, &error, "service", service.c_str(), "account",
                                                        account.c_str(), nullptr);
    g_clear_error(&error);
    secret_value_unref(value);
    return stored != FALSE;
}

class SecretServiceKeychain final : public Keychain {
public:
    std::optional<std::string> read(const std::string& service, const std::string& account) override {
        if (!sessionBusMayExist()) return std::nullopt;
        return runWithDeadline<std::optional<std::string>>(
            [service, account](GCancellable* cancellable) { return lookup(service, account, cancellable); },
            std::nullopt);
    }

    bool save(const std::string& service, const std::string& account, const std::string& data) override {
        if (!sessionBusMayExist()) return false;
        return runWithDeadline<bool>(
            [service, account, data](GCancellable* cancellable) { return store(service, account, data, cancellable); },
            false);
    }
};

}  // namespace

std::shared_ptr<Keychain> secretServiceKeychain() { return std::make_shared<SecretServiceKeychain>(); }

}  // namespace taviro::platform
