// base64, thumb, http-encode: the library's text forms of bytes.
#include <cstdio>
#include <iostream>

#include <Encodings.h>

#include "Command.h"

namespace orvikctl {
namespace {

int base64(const Args& args) {
    if (args.empty() || args.size() > 2 || (args[0] != "encode" && args[0] != "decode")) return usage("base64");
    std::string input, error;
    if (!readAll(args.size() == 2 ? args[1] : "-", input, kTextInput, error)) return fail(error);
    if (args[0] == "encode") {
        std::printf("%s\n", base64Encode(input).c_str());
        return Ok;
    }
    bool complete = true;
    std::string bytes = base64Decode(input, &complete);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (!complete) return fail("the text ends inside a group; only complete groups were decoded");
    return Ok;
}

int thumb(const Args& args) {
    if (args.size() != 1) return usage("thumb");
    std::string bytes;
    if (!parseHex(args[0], bytes)) return fail("not hexadecimal: " + args[0]);
    std::printf("%s\n", BinToThumb(bytes).c_str());
    return Ok;
}

int httpEncode(const Args& args) {
    std::string text;
    if (args.size() > 1) return usage("http-encode");
    if (args.size() == 1) {
        text = args[0];
    } else if (std::string error; !readAll("-", text, kTextInput, error)) {
        return fail(error);
    }
    std::printf("%s\n", HttpEncode(std::string_view(text)).c_str());
    return Ok;
}

const bool added = registered({
    {"base64", "encode|decode [FILE]", "Base64 of a file or standard input, or the bytes of a Base64 text", base64},
    {"thumb", "HEX", "the thumbprint text of hexadecimal bytes (\"00 ff 10\")", thumb},
    {"http-encode", "[TEXT]", "escape + CR LF = for a form body", httpEncode},
});

}  // namespace
}  // namespace orvikctl
