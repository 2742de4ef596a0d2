// Atomic file replacement: write beside the target, flush, rename over it.
#pragma once

#include <string>
#include <string_view>

namespace tovrane::io {

/// Replaces `path` with `contents` so that readers see either the old file or
/// the whole new one. The temporary file lives in the target's folder (a rename
/// across file systems is not atomic) and is removed on failure.
/// Throws std::system_error naming the path when any step fails.
void write_file_atomic(const std::string& path, std::string_view contents);

}  // namespace tovrane::io
