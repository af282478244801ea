#include "Json.h"

#include "CString.h"
#include "Tool.h"

namespace {

void AppendUnicodeEscape(std::string& out, unsigned unit) {
    static const char hex[] = "0123456789abcdef";
    out += "\\u";
    out += hex[(unit >> 12) & 0xF];
    out += hex[(unit >> 8) & 0xF];
    out += hex[(unit >> 4) & 0xF];
    out += hex[unit & 0xF];
}

}  // namespace

void AppendJsonString(std::string& out, const std::u16string& text) {
    out += '"';
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned c = text[i];
        switch (c) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\b': out += "\\b"; continue;
        case '\f': out += "\\f"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (ShownEscaped(static_cast<char16_t>(c))) {
            AppendUnicodeEscape(out, c);
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendUnicodeEscape(out, c);
        } else {
            AppendUtf8(out, c);
        }
    }
    out += '"';
}

void JsonWriter::BeforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_hasMember.empty()) {
        if (m_hasMember.back()) m_out += ',';
        m_hasMember.back() = true;
    }
}

void JsonWriter::BeginObject() {
    BeforeValue();
    m_out += '{';
    m_hasMember.push_back(false);
}

void JsonWriter::EndObject() {
    m_hasMember.pop_back();
    m_out += '}';
}

void JsonWriter::BeginArray() {
    BeforeValue();
    m_out += '[';
    m_hasMember.push_back(false);
}

void JsonWriter::EndArray() {
    m_hasMember.pop_back();
    m_out += ']';
}

void JsonWriter::Key(const char* name) {
    BeforeValue();
    std::u16string wide;
    for (const char* p = name; *p != 0; ++p) wide += static_cast<char16_t>(static_cast<unsigned char>(*p));
    AppendJsonString(m_out, wide);
    m_out += ':';
    m_afterKey = true;
}

void JsonWriter::String(const std::u16string& text) {
    BeforeValue();
    AppendJsonString(m_out, text);
}

void JsonWriter::Int(std::int64_t value) {
    BeforeValue();
    m_out += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    m_out += value ? "true" : "false";
}

void JsonWriter::Null() {
    BeforeValue();
    m_out += "null";
}
