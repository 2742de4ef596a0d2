// Transitional: the message filling of modules not yet on compile-time checked texts.
#pragma once

#include <fmt/format.h>

#include <string>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/python.hpp"

namespace tovrane::py_util::legacy {

template <typename... Args>
std::string fill(const char* tmpl, const Args&... args) {
    return fmt::format(fmt::runtime(tmpl), args...);
}

template <typename... Args>
void say(const char* tmpl, const Args&... args) {
    print_line(fill(tmpl, args...));
}

}  // namespace tovrane::py_util::legacy
