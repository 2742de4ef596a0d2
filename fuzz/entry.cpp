// libFuzzer entry point; TOVRANE_FUZZ_TARGET names the target function.
#include "targets.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tovrane::fuzz::TOVRANE_FUZZ_TARGET(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
