// SPDX-License-Identifier: Apache-2.0
#pragma once
// The probe's JSON output: objects and arrays written in order, with the commas where they
// belong. Keys keep the order they are written in, which is the order the text output uses.
#include <cstdint>
#include <string>
#include <string_view>

class Json {
public:
    Json& object() { return open('{'); }
    Json& array() { return open('['); }
    Json& end() {
        text_ += closers_.back();
        closers_.pop_back();
        first_ = false;
        return *this;
    }
    // The key of the next value in an object.
    Json& key(std::string_view name) {
        separate();
        quote(name);
        text_ += ':';
        first_ = true; // the value follows without a comma
        return *this;
    }
    Json& value(std::string_view text) {
        separate();
        quote(text);
        return *this;
    }
    Json& value(const char* text) { return value(std::string_view(text)); }
    Json& value(const std::string& text) { return value(std::string_view(text)); }
    Json& value(uint64_t number) { return raw(std::to_string(number)); }
    Json& value(uint32_t number) { return raw(std::to_string(number)); }
    Json& value(int number) { return raw(std::to_string(number)); }
    Json& value(bool yes) { return raw(yes ? "true" : "false"); }
    Json& null() { return raw("null"); }
    // A value written as it is: a number formatted by the caller, or a whole JSON text.
    Json& raw(std::string_view json) {
        separate();
        text_ += json;
        return *this;
    }
    const std::string& text() const { return text_; }

private:
    Json& open(char bracket) {
        separate();
        text_ += bracket;
        closers_ += bracket == '{' ? '}' : ']';
        first_ = true;
        return *this;
    }
    void separate() {
        if (!first_)
            text_ += ',';
        first_ = false;
    }
    void quote(std::string_view s) {
        text_ += '"';
        for (const char c : s) {
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += c;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                static const char hex[] = "0123456789abcdef";
                text_ += "\\u00";
                text_ += hex[(c >> 4) & 0xF];
                text_ += hex[c & 0xF];
            } else {
                text_ += c;
            }
        }
        text_ += '"';
    }

    std::string text_;
    std::string closers_;
    bool first_ = true;
};
