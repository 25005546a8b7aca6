#include "JsonScan.h"

#include <array>

namespace morvane::platform::rpc {

namespace {

constexpr int kMaxDepth = 128;

// What a byte inside a JSON text means to the scanner.
enum ByteClass : unsigned char { Plain, Quote, Backslash, Control, Lead };

constexpr std::array<unsigned char, 256> makeClasses() {
    std::array<unsigned char, 256> classes{};
    for (int b = 0; b < 256; ++b)
        classes[b] = b < 0x20 ? Control : b >= 0x80 ? Lead : Plain;
    classes['"'] = Quote;
    classes['\\'] = Backslash;
    return classes;
}

constexpr std::array<unsigned char, 256> kClasses = makeClasses();

bool isNoncharacter(char32_t c) {
    return (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
}

int hexDigit(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

class Scanner {
public:
    explicit Scanner(QByteArrayView text)
        : m_begin(reinterpret_cast<const unsigned char*>(text.data()))
        , m_p(m_begin)
        , m_end(m_begin + text.size()) {}

    bool scan(std::span<const QByteArrayView> names, std::span<JsonSpan> spans) {
        skipSpace();
        if (m_p == m_end || *m_p != '{')
            return false;
        m_names = names;
        m_spans = spans;
        for (JsonSpan& span : m_spans)
            span = JsonSpan();
        if (!object(1))
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
            return object(depth + 1);
        case '[':
            return array(depth + 1);
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

    // At '{'. Members of the top-level object (depth 1) named in m_names have their values noted.
    bool object(int depth) {
        if (depth > kMaxDepth)
            return false;
        ++m_p;
        skipSpace();
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            return true;
        }
        for (;;) {
            if (m_p == m_end || *m_p != '"')
                return false;
            const unsigned char* keyBegin = m_p + 1;
            bool escaped = false;
            if (!string(&escaped))
                return false;
            const QByteArrayView key(keyBegin, m_p - 1 - keyBegin);
            skipSpace();
            if (m_p == m_end || *m_p != ':')
                return false;
            ++m_p;
            skipSpace();
            JsonSpan* noted = depth == 1 ? spanOf(key, escaped) : nullptr;
            if (depth == 1 && m_failed)
                return false;
            const unsigned char* valueBegin = m_p;
            if (!value(depth))
                return false;
            if (noted)
                *noted = JsonSpan{valueBegin - m_begin, m_p - m_begin};
            skipSpace();
            if (m_p == m_end)
                return false;
            if (*m_p == '}') {
                ++m_p;
                return true;
            }
            if (*m_p != ',')
                return false;
            ++m_p;
            skipSpace();
        }
    }

    // The span to note a top-level member's value in; a name escaped (it might spell a noted one) or noted
    // already fails the scan.
    JsonSpan* spanOf(QByteArrayView key, bool escaped) {
        if (escaped) {
            m_failed = true;
            return nullptr;
        }
        for (size_t i = 0; i < m_names.size(); ++i) {
            if (key == m_names[i]) {
                if (m_spans[i].found()) {
                    m_failed = true;
                    return nullptr;
                }
                return &m_spans[i];
            }
        }
        return nullptr;
    }

    bool array(int depth) {
        if (depth > kMaxDepth)
            return false;
        ++m_p;
        skipSpace();
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            return true;
        }
        for (;;) {
            if (!value(depth))
                return false;
            skipSpace();
            if (m_p == m_end)
                return false;
            if (*m_p == ']') {
                ++m_p;
                return true;
            }
            if (*m_p != ',')
                return false;
            ++m_p;
            skipSpace();
        }
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
            case Lead:
                if (!utf8())
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
        case 'u': {
            if (m_end - m_p < 4)
                return false;
            char32_t c = 0;
            for (int i = 0; i < 4; ++i) {
                const int digit = hexDigit(m_p[i]);
                if (digit < 0)
                    return false;
                c = c * 16 + static_cast<char32_t>(digit);
            }
            m_p += 4;
            return !(c >= 0xD800 && c <= 0xDFFF) && !isNoncharacter(c);
        }
        default:
            return false;
        }
    }

    // At a byte of 0x80 or more: one whole, shortest-form UTF-8 sequence of a character.
    bool utf8() {
        const unsigned char lead = *m_p;
        int more = 0;
        char32_t c = 0;
        unsigned char low = 0x80, high = 0xBF; // the bounds of the byte after the lead
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            c = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            else if (lead == 0xED)
                high = 0x9F; // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            c = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (m_end - m_p <= more)
            return false;
        for (int i = 1; i <= more; ++i) {
            const unsigned char next = m_p[i];
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        m_p += more + 1;
        return !isNoncharacter(c);
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
        int digits = 0;
        if (m_p < m_end && *m_p == '0') {
            ++m_p;
            digits = 1;
        } else {
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9') {
                ++m_p;
                ++digits;
            }
            if (digits == 0)
                return false;
        }
        if (m_p < m_end && *m_p == '.') {
            ++m_p;
            int fraction = 0;
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9') {
                ++m_p;
                ++fraction;
            }
            if (fraction == 0)
                return false;
            digits += fraction;
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E'))
            return false;
        return digits <= 15;
    }

    const unsigned char* const m_begin;
    const unsigned char* m_p;
    const unsigned char* const m_end;
    std::span<const QByteArrayView> m_names;
    std::span<JsonSpan> m_spans;
    bool m_failed = false;
};

} // namespace

bool scanJsonObject(QByteArrayView text, std::span<const QByteArrayView> names, std::span<JsonSpan> spans) {
    if (spans.size() < names.size())
        return false;
    return Scanner(text).scan(names, spans);
}

} // namespace morvane::platform::rpc
