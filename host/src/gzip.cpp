#include "gzip.h"

#include <strings.h>
#include <zlib.h>

#include <cstdlib>

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

bool accepts_gzip(std::string_view accept_encoding) {
    while (!accept_encoding.empty()) {
        std::size_t comma = accept_encoding.find(',');
        std::string_view item = accept_encoding.substr(0, comma);
        accept_encoding = comma == std::string_view::npos ? std::string_view()
                                                          : accept_encoding.substr(comma + 1);
        std::size_t semicolon = item.find(';');
        std::string_view coding = trimmed(item.substr(0, semicolon));
        if (coding.size() != 4 || strncasecmp(coding.data(), "gzip", 4) != 0) continue;
        if (semicolon == std::string_view::npos) return true;
        std::string_view parameter = trimmed(item.substr(semicolon + 1));
        if (parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') ||
            parameter[1] != '=')
            return true;
        std::string weight(trimmed(parameter.substr(2)));
        return std::strtod(weight.c_str(), nullptr) > 0;
    }
    return false;
}

std::optional<std::string> gzip(std::string_view text) {
    z_stream stream = {};
    // 15 window bits, +16 for the gzip wrapper; level 6, zlib's default.
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    std::string packed(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = static_cast<uInt>(packed.size());
    int result = deflate(&stream, Z_FINISH);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) return std::nullopt;
    return packed;
}
