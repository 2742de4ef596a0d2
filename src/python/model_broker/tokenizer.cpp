// ModelBroker: tiktoken's encodings, served from the rank files inside the package.
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/python.hpp"
#include "engine/text/model_broker_texts.hpp"
#include "model_broker/internal.hpp"

namespace tovrane::model_broker {

namespace texts = tovrane::text::model_broker;

namespace {

struct RankFile {
    std::string_view name;    ///< file name in the package and in tiktoken's URL
    std::string_view sha256;  ///< the hash tiktoken checks
    std::int64_t size;
};

constexpr std::array<RankFile, 2> kRankFiles{{
    {"o200k_base.tiktoken", "446a9538cb6c348e3516120d7c08b09f57c36495e2acfffe59a5bf8b0cfb1a2d", 3613922},
    {"cl100k_base.tiktoken", "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7", 1681126},
}};

constexpr std::string_view kRankFileUrlBase = "https://openaipublic.blob.core.windows.net/encodings/";

/// tiktoken's cache folder, chosen as tiktoken chooses it; empty when caching is off.
std::string tiktoken_cache_dir(const py::module_& os) {
    py::object environ = os.attr("environ");
    for (const char* variable : {"TIKTOKEN_CACHE_DIR", "DATA_GYM_CACHE_DIR"}) {
        if (environ.contains(variable)) return py::str(environ[variable]);
    }
    py::object tmp = py::module_::import("tempfile").attr("gettempdir")();
    return py::str(os.attr("path").attr("join")(tmp, "data-gym-cache"));
}

/// Copies one rank file into tiktoken's cache under the name tiktoken looks for, unless a
/// file of the right size is there. A copy that fails its hash is not installed.
void seed_rank_file(const py::module_& os, const std::string& cache_dir, const py::object& data_dir,
                    const RankFile& file) {
    py::object path = os.attr("path");
    std::string url = std::string(kRankFileUrlBase) + std::string(file.name);
    py::object key = py::module_::import("hashlib").attr("sha1")(py::bytes(url)).attr("hexdigest")();
    py::object target = path.attr("join")(cache_dir, key);
    if (py::bool_(path.attr("isfile")(target)) &&
        path.attr("getsize")(target).cast<std::int64_t>() == file.size) {
        return;
    }

    py::object source = path.attr("join")(data_dir, py_util::to_py(file.name));
    py::bytes contents = py::module_::import("pathlib").attr("Path")(source).attr("read_bytes")();
    // A short read or a damaged package file must not end up where tiktoken trusts it.
    py::object digest = py::module_::import("hashlib").attr("sha256")(contents).attr("hexdigest")();
    if (py::str(digest).cast<std::string>() != file.sha256) return;

    os.attr("makedirs")(cache_dir, py::arg("exist_ok") = true);
    py_util::write_atomically(target, std::string_view(contents));
}

/// Seeding is a convenience: tiktoken's own lookup still decides, and reports its errors.
void seed_tiktoken_cache() {
    try {
        py::module_ os = py::module_::import("os");
        std::string cache_dir = tiktoken_cache_dir(os);
        if (cache_dir.empty()) return;  // tiktoken then never reads a cache
        py::object package_dir = os.attr("path").attr("dirname")(py::module_::import("tovrane_core").attr("__file__"));
        py::object data_dir = os.attr("path").attr("join")(package_dir, "_data", "tiktoken");
        for (const RankFile& file : kRankFiles) seed_rank_file(os, cache_dir, data_dir, file);
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
    }
}

}  // namespace

py::object choose_encoding(py::handle model) {
    seed_tiktoken_cache();
    py::module_ tiktoken = py::module_::import("tiktoken");
    try {
        return tiktoken.attr("encoding_for_model")(model);
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
    }
    return tiktoken.attr("get_encoding")(py_util::to_py(texts::kFallbackEncoding));
}

}  // namespace tovrane::model_broker
