#include "JsonScan.h"

#include <algorithm>
#include <array>

namespace morvane::platform::rpc {

namespace {

constexpr int kMaxDepth = 128;

// What a byte inside a JSON text's string means to the scanner (the text is valid UTF-8 already).
enum ByteClass : unsigned char { Plain, Quote, Backslash, Control };

constexpr std::array<unsigned char, 256> makeClasses() {
    std::array<unsigned char, 256> classes{};
    for (int b = 0; b < 0x20; ++b)
        classes[b] = Control;
    classes['"'] = Quote;
    classes['\\'] = Backslash;
    return classes;
}

constexpr std::array<unsigned char, 256> kClasses = makeClasses();

bool isHex(unsigned char c) {
    const unsigned char lower = c | 0x20;
    return (c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'f');
}

class Scanner {
public:
    Scanner(QByteArrayView text, std::span<const QByteArrayView> names, std::span<JsonSpan> spans)
        : m_begin(reinterpret_cast<const unsigned char*>(text.data()))
        , m_p(m_begin)
        , m_end(m_begin + text.size())
        , m_names(names)
        , m_spans(spans) {}

    bool scan() {
        std::fill(m_spans.begin(), m_spans.end(), JsonSpan());
        skipSpace();
        if (m_p == m_end || *m_p != '{' || !container(1))
            return false;
        skipSpace();
        return m_p == m_end;
    }

private:
    void skipSpace() {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }

    bool value(int depth) {
        if (m_p == m_end)
            return false;
        switch (*m_p) {
        case '{':
        case '[':
            return container(depth + 1);
        case '"':
            return string(nullptr);
        case 't':
            return word("true");
        case 'f':
            return word("false");
        case 'n':
            return word("null");
        default:
            return number();
        }
    }

    // At '{' or '[': its members or elements, to the closing bracket.
    bool container(int depth) {
        if (depth > kMaxDepth)
            return false;
        const bool object = *m_p == '{';
        const unsigned char close = object ? '}' : ']';
        ++m_p;
        skipSpace();
        if (m_p < m_end && *m_p == close) {
            ++m_p;
            return true;
        }
        for (;;) {
            if (!(object ? member(depth) : value(depth)))
                return false;
            skipSpace();
            if (m_p == m_end)
                return false;
            if (*m_p == close) {
                ++m_p;
                return true;
            }
            if (*m_p != ',')
                return false;
            ++m_p;
            skipSpace();
        }
    }

    // A name, its colon and its value. A member of the top-level object (depth 1) named in m_names has
    // its value noted; there a name written with an escape (it might spell a noted one) or noted already
    // fails the scan.
    bool member(int depth) {
        if (m_p == m_end || *m_p != '"')
            return false;
        const unsigned char* nameBegin = m_p + 1;
        bool escaped = false;
        if (!string(&escaped))
            return false;
        const QByteArrayView name(nameBegin, m_p - 1 - nameBegin);
        skipSpace();
        if (m_p == m_end || *m_p != ':')
            return false;
        ++m_p;
        skipSpace();
        JsonSpan* noted = nullptr;
        if (depth == 1) {
            if (escaped)
                return false;
            const auto at = std::find(m_names.begin(), m_names.end(), name);
            if (at != m_names.end()) {
                noted = &m_spans[static_cast<size_t>(at - m_names.begin())];
                if (noted->found())
                    return false;
            }
        }
        const unsigned char* valueBegin = m_p;
        if (!value(depth))
            return false;
        if (noted)
            *noted = JsonSpan{valueBegin - m_begin, m_p - m_begin};
        return true;
    }

    // At '"'; past the closing quote after it.
    bool string(bool* escaped) {
        ++m_p;
        for (;;) {
            while (m_p < m_end && kClasses[*m_p] == Plain)
                ++m_p;
            if (m_p == m_end)
                return false;
            switch (kClasses[*m_p]) {
            case Quote:
                ++m_p;
                return true;
            case Backslash:
                if (escaped)
                    *escaped = true;
                if (!escape())
                    return false;
                break;
            default: // a control character, which the grammar leaves out of a text
                return false;
            }
        }
    }

    bool escape() {
        if (m_end - m_p < 2)
            return false;
        const unsigned char kind = m_p[1];
        m_p += 2;
        switch (kind) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            return true;
        case 'u':
            if (m_end - m_p < 4 || !std::all_of(m_p, m_p + 4, isHex))
                return false;
            m_p += 4;
            return true;
        default:
            return false;
        }
    }

    bool word(const char* text) {
        for (; *text; ++text, ++m_p) {
            if (m_p == m_end || *m_p != static_cast<unsigned char>(*text))
                return false;
        }
        return true;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?, at most 15 digits; an exponent is left to a full parser.
    bool number() {
        if (m_p < m_end && *m_p == '-')
            ++m_p;
        const auto digits = [this] {
            const unsigned char* from = m_p;
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
            return m_p - from;
        };
        const unsigned char* integer = m_p;
        qsizetype count = digits();
        if (count == 0 || (count > 1 && *integer == '0'))
            return false;
        if (m_p < m_end && *m_p == '.') {
            ++m_p;
            const qsizetype fraction = digits();
            if (fraction == 0)
                return false;
            count += fraction;
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E'))
            return false;
        return count <= 15;
    }

    const unsigned char* const m_begin;
    const unsigned char* m_p;
    const unsigned char* const m_end;
    const std::span<const QByteArrayView> m_names;
    const std::span<JsonSpan> m_spans;
};

} // namespace

bool scanJsonObject(QByteArrayView text, std::span<const QByteArrayView> names, std::span<JsonSpan> spans) {
    // UTF-8 as Qt's JSON reader takes it (whole, shortest form, no surrogates): its own check.
    return spans.size() >= names.size() && text.isValidUtf8() && Scanner(text, names, spans).scan();
}

} // namespace morvane::platform::rpc
