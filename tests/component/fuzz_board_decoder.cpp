// libFuzzer target of the door boards' 64-byte decoder: every input is read as a reply and as a request
// of the function its second byte names. Whatever decodes must be a 64-byte frame of that function,
// and its values must encode again to a frame that decodes to the same values. Built only with clang
// (-fsanitize=fuzzer).

#include "BoardProtocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace morvane::boardproto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray frame(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const uint8_t function = size > 1 ? data[1] : 0;
    for (bool response : {true, false}) {
        const Layout* layout = layoutFor(function, response);
        if (!layout)
            continue;
        QString error;
        const auto values = decode(*layout, frame, &error);
        if (!values) {
            if (error.isEmpty())
                std::abort(); // a refusal always says why
            continue;
        }
        if (size != static_cast<size_t>(kFrameBytes) || data[1] != layout->function ||
            !(data[0] == kStart || (response && data[0] == kEventStart)))
            std::abort();
        const auto again = encode(*layout, *values);
        if (!again || again->size() != kFrameBytes)
            std::abort();
        const auto back = decode(*layout, *again);
        if (!back || *back != *values)
            std::abort();
    }
    return 0;
}
