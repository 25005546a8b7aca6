#pragma once

#include <QByteArrayView>

#include <span>

namespace morvane::platform::rpc {

// Where a value stands in a JSON text: its bytes [begin, end); begin < 0 when there is none.
struct JsonSpan {
    qsizetype begin = -1;
    qsizetype end = -1;
    bool found() const { return begin >= 0; }
    qsizetype size() const { return end - begin; }
};

// One pass over a JSON text whose top level is an object, building nothing: true when the text is surely
// valid JSON (RFC 8259 in UTF-8) that any reader here takes as it stands. `spans` then holds, in the
// order of `names`, where the values of those members of the top-level object stand (a member named by
// an escape, or named twice, makes it false).
//
// False says only that the text is not surely valid: besides malformed text, whatever a reader might take
// otherwise than the grammar says is left to a full parser (a number with an exponent or of more than 15
// digits, a control character in a text, nesting deeper than 128, a byte-order mark).
bool scanJsonObject(QByteArrayView text, std::span<const QByteArrayView> names, std::span<JsonSpan> spans);

} // namespace morvane::platform::rpc
