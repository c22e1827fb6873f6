#include "json_tree.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iomanip>

namespace orvu::fuzz {

bool operator==(const Json& a, const Json& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case Json::Kind::Null: return true;
        case Json::Kind::Bool: return a.b == b.b;
        case Json::Kind::UInt: return a.u == b.u;
        case Json::Kind::Int: return a.i == b.i;
        // Bit for bit: a result must give back the very float it was given.
        case Json::Kind::Float: return std::signbit(a.f) == std::signbit(b.f) && (a.f == b.f || (a.f != a.f && b.f != b.f));
        case Json::Kind::String: return a.s == b.s;
        case Json::Kind::Array: return a.items == b.items;
        case Json::Kind::Object: return a.members == b.members;
    }
    return false;
}

namespace {

void write_string(std::ostream& out, const std::string& s) {
    out << '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out << '\\' << c;
        } else if (c < 0x20 || c >= 0x7f) {
            out << "\\x" << std::hex << std::setw(2) << std::setfill('0') << int(c) << std::dec;
        } else {
            out << c;
        }
    }
    out << '"';
}

class Parser {
public:
    Parser(std::string_view text, int max_depth) : text_(text), max_depth_(max_depth) {}

    std::optional<Json> document() {
        Json value;
        if (!parse(value, 0)) return std::nullopt;
        skip_space();
        if (pos_ != text_.size()) return std::nullopt;
        return value;
    }

private:
    void skip_space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) ++pos_;
    }
    bool eat(char c) {
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        if (text_.substr(pos_, w.size()) != w) return false;
        pos_ += w.size();
        return true;
    }

    bool parse(Json& out, int depth) {
        skip_space();
        if (pos_ >= text_.size()) return false;
        const char c = text_[pos_];
        if (c == '{' || c == '[') {
            if (depth >= max_depth_) return false;
            ++pos_;
            const bool object = c == '{';
            out = object ? Json::object() : Json::array();
            if (eat(object ? '}' : ']')) return true;
            do {
                if (object) {
                    std::string key;
                    skip_space();
                    if (!string(key) || !eat(':')) return false;
                    Json value;
                    if (!parse(value, depth + 1)) return false;
                    out.members.emplace_back(std::move(key), std::move(value));
                } else {
                    Json value;
                    if (!parse(value, depth + 1)) return false;
                    out.items.push_back(std::move(value));
                }
            } while (eat(','));
            return eat(object ? '}' : ']');
        }
        if (c == '"') {
            out = Json::string({});
            return string(out.s);
        }
        if (word("null")) return out = Json::null(), true;
        if (word("true")) return out = Json::boolean(true), true;
        if (word("false")) return out = Json::boolean(false), true;
        return number(out);
    }

    bool string(std::string& out) {
        if (pos_ >= text_.size() || text_[pos_] != '"') return false;
        ++pos_;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;  // any byte: keys and texts are byte strings to the core
                continue;
            }
            if (pos_ >= text_.size()) return false;
            const char e = text_[pos_++];
            switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    if (pos_ + 4 > text_.size()) return false;
                    unsigned code = 0;
                    for (int k = 0; k < 4; ++k) {
                        const char h = text_[pos_++];
                        code <<= 4;
                        if (h >= '0' && h <= '9') code |= unsigned(h - '0');
                        else if (h >= 'a' && h <= 'f') code |= unsigned(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F') code |= unsigned(h - 'A' + 10);
                        else return false;
                    }
                    // UTF-8 of the code unit (surrogates as they are, like any other unit).
                    if (code < 0x80) {
                        out += char(code);
                    } else if (code < 0x800) {
                        out += char(0xC0 | (code >> 6));
                        out += char(0x80 | (code & 0x3F));
                    } else {
                        out += char(0xE0 | (code >> 12));
                        out += char(0x80 | ((code >> 6) & 0x3F));
                        out += char(0x80 | (code & 0x3F));
                    }
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    bool number(Json& out) {
        const std::size_t start = pos_;
        if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
        bool integral = true, digits = false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c >= '0' && c <= '9') {
                digits = true;
            } else if (c == '.' || c == 'e' || c == 'E' || ((c == '+' || c == '-') && pos_ > start)) {
                integral = false;
            } else {
                break;
            }
            ++pos_;
        }
        if (!digits) return false;
        const std::string literal(text_.substr(start, pos_ - start));
        char* end = nullptr;
        errno = 0;
        if (integral) {
            if (literal[0] == '-') {
                const long long v = std::strtoll(literal.c_str(), &end, 10);
                if (errno == ERANGE) return false;
                out = Json::integer(v);
            } else {
                const unsigned long long v = std::strtoull(literal.c_str(), &end, 10);
                if (errno == ERANGE) return false;
                out = Json();
                out.kind = Json::Kind::UInt;
                out.u = v;
            }
        } else {
            out = Json();
            out.kind = Json::Kind::Float;
            out.f = std::strtod(literal.c_str(), &end);
            // A host's float that is no finite number converts to null.
            if (std::isinf(out.f)) out = Json::null();
        }
        return end == literal.c_str() + literal.size();
    }

    std::string_view text_;
    int max_depth_;
    std::size_t pos_ = 0;
};

}  // namespace

std::ostream& operator<<(std::ostream& out, const Json& v) {
    switch (v.kind) {
        case Json::Kind::Null: return out << "null";
        case Json::Kind::Bool: return out << (v.b ? "true" : "false");
        case Json::Kind::UInt: return out << v.u;
        case Json::Kind::Int: return out << v.i;
        case Json::Kind::Float: return out << std::setprecision(17) << v.f << 'f';
        case Json::Kind::String: write_string(out, v.s); return out;
        case Json::Kind::Array:
            out << '[';
            for (std::size_t k = 0; k < v.items.size(); ++k) out << (k ? "," : "") << v.items[k];
            return out << ']';
        case Json::Kind::Object:
            out << '{';
            for (std::size_t k = 0; k < v.members.size(); ++k) {
                if (k) out << ',';
                write_string(out, v.members[k].first);
                out << ':' << v.members[k].second;
            }
            return out << '}';
    }
    return out;
}

std::string to_json_text(const Json& v) {
    switch (v.kind) {
        case Json::Kind::Null: return "null";
        case Json::Kind::Bool: return v.b ? "true" : "false";
        case Json::Kind::UInt: return std::to_string(v.u);
        case Json::Kind::Int: return std::to_string(v.i);
        case Json::Kind::Float: {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", v.f);
            std::string text = buf;
            if (text.find_first_of(".e") == std::string::npos) text += ".0";  // still a float when read back
            return text;
        }
        case Json::Kind::String: {
            std::string out = "\"";
            for (unsigned char c : v.s) {
                if (c == '"' || c == '\\') {
                    out += '\\';
                    out += char(c);
                } else if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
            }
            return out + '"';
        }
        case Json::Kind::Array: {
            std::string out = "[";
            for (std::size_t k = 0; k < v.items.size(); ++k) out += (k ? "," : "") + to_json_text(v.items[k]);
            return out + "]";
        }
        case Json::Kind::Object: {
            std::string out = "{";
            for (std::size_t k = 0; k < v.members.size(); ++k) {
                out += (k ? "," : "") + to_json_text(Json::string(v.members[k].first)) + ":" + to_json_text(v.members[k].second);
            }
            return out + "}";
        }
    }
    return "null";
}

std::optional<Json> parse_json(std::string_view text, int max_depth) { return Parser(text, max_depth).document(); }

}  // namespace orvu::fuzz
