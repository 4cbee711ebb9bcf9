#include "platform/ListenerOwner.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace taviro::platform {
namespace {

constexpr const char* kListenState = "0A";

struct Listener {
    uid_t uid;
    std::string inode;
};

// Local addresses (as /proc/net writes them, in the machine's byte order) that a connection to
// 127.0.0.1 reaches: the loopback address itself and the unspecified one, also as IPv6.
bool reachesLoopback(const std::string& address) {
    static const std::set<std::string> reaching{
        "0100007F", "00000000", "00000000000000000000000000000000", "0000000000000000FFFF00000100007F"};
    return reaching.contains(address);
}

std::vector<Listener> listeners(int port) {
    std::vector<Listener> found;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream rows(table);
        std::string line;
        std::getline(rows, line);  // the header
        while (std::getline(rows, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, inode;
            uid_t uid = 0;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> inode >> inode)) continue;
            const auto colon = local.find(':');
            if (state != kListenState || colon == std::string::npos) continue;
            if (std::stoi(local.substr(colon + 1), nullptr, 16) != port || !reachesLoopback(local.substr(0, colon))) continue;
            found.push_back({uid, inode});
        }
    }
    return found;
}

// `root` and every process it started, from each process's parent in /proc.
std::vector<std::string> processTree(pid_t root) {
    std::multimap<std::string, std::string> children;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
        const std::string pid = entry->path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry->path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        // pid (comm) state ppid …; the name may hold anything but ends at the last ")".
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 1));
        std::string state, parent;
        if (rest >> state >> parent) children.emplace(parent, pid);
    }
    std::vector<std::string> tree{std::to_string(root)};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        auto [first, last] = children.equal_range(tree[i]);
        for (auto it = first; it != last; ++it) tree.push_back(it->second);
    }
    return tree;
}

bool heldBy(const std::vector<std::string>& processes, const std::string& inode) {
    const std::string target = "socket:[" + inode + "]";
    for (const auto& pid : processes) {
        std::error_code error;
        for (std::filesystem::directory_iterator fd("/proc/" + pid + "/fd", error), end; !error && fd != end; fd.increment(error)) {
            std::error_code unreadable;
            if (std::filesystem::read_symlink(fd->path(), unreadable).string() == target) return true;
        }
    }
    return false;
}

}  // namespace

bool isOwnListener(int port, std::optional<pid_t> processTreeRoot) {
    const auto found = listeners(port);
    if (found.empty()) return false;
    std::vector<std::string> tree;
    if (processTreeRoot) tree = processTree(*processTreeRoot);
    for (const auto& listener : found) {
        if (listener.uid != ::getuid()) return false;
        if (processTreeRoot && !heldBy(tree, listener.inode)) return false;
    }
    return true;
}

}  // namespace taviro::platform
