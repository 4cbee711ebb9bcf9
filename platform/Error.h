#pragma once

#include <expected>
#include <string>

namespace taviro {

// One failure value for every fallible operation: platform failures keep their own domain,
// code and text (errno text, curl text); our own checks use their own domains.
struct Error {
    std::string domain;
    int code = 0;
    std::string description;
};

template <typename T>
using Result = std::expected<T, Error>;

using VoidResult = std::expected<void, Error>;

inline std::unexpected<Error> failure(std::string domain, int code, std::string description) {
    return std::unexpected(Error{std::move(domain), code, std::move(description)});
}

// An errno value as a POSIX-domain error whose text names what was being done.
Error posixError(int errorNumber, const std::string& what);

}  // namespace taviro
