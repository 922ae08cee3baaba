// A small reader of mangled type names (the forms exception types take),
// writing into a caller's buffer so that it can run in the terminate handler.
#include "BBXCapture.h"

namespace {

constexpr int kMaxSubstitutions = 64;

struct Demangler {
    const char* p;
    char* out;
    size_t size;
    size_t length = 0;
    bool ok = true;
    struct Span {
        size_t start, end;
    } subs[kMaxSubstitutions] = {};
    int subCount = 0;

    void put(const char* s, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (length + 1 >= size) {
                ok = false;
                return;
            }
            out[length++] = s[i];
        }
    }
    void put(const char* s) { put(s, BBXStringLength(s)); }
    void add(size_t start) {
        if (subCount < kMaxSubstitutions) subs[subCount++] = {start, length};
    }
    // Copies earlier output (which may move as we append, so byte by byte).
    void copy(const Span& span) {
        for (size_t i = span.start; i < span.end && ok; ++i) {
            char c = out[i];
            put(&c, 1);
        }
    }

    bool number(size_t* n) {
        if (*p < '0' || *p > '9') return false;
        size_t v = 0;
        while (*p >= '0' && *p <= '9') v = v * 10 + static_cast<size_t>(*p++ - '0');
        *n = v;
        return true;
    }

    bool sourceName() {
        size_t n = 0;
        if (!number(&n)) return false;
        for (size_t i = 0; i < n; ++i)
            if (!p[i]) return false;
        put(p, n);
        p += n;
        return ok;
    }

    // S_, S<seq>_ and the standard abbreviations; `isPrefixStd` is set for "St".
    bool substitution(bool* isStd) {
        if (*p != 'S') return false;
        char c = p[1];
        const char* text = nullptr;
        switch (c) {
            case 't': *isStd = true; p += 2; return true;
            case 'a': text = "std::allocator"; break;
            case 'b': text = "std::basic_string"; break;
            case 's': text = "std::string"; break;
            case 'i': text = "std::istream"; break;
            case 'o': text = "std::ostream"; break;
            case 'd': text = "std::iostream"; break;
            default: break;
        }
        if (text) {
            p += 2;
            put(text);
            return ok;
        }
        p += 1;
        size_t index = 0;
        if (*p != '_') {
            size_t seq = 0;
            while ((*p >= '0' && *p <= '9') || (*p >= 'A' && *p <= 'Z')) {
                seq = seq * 36 + static_cast<size_t>(*p >= 'A' ? *p - 'A' + 10 : *p - '0');
                ++p;
            }
            index = seq + 1;
        }
        if (*p != '_') return false;
        ++p;
        if (index >= static_cast<size_t>(subCount)) return false;
        copy(subs[index]);
        return ok;
    }

    bool templateArgs(size_t start) {
        if (*p != 'I') return false;
        ++p;
        put("<");
        bool first = true;
        while (ok && *p && *p != 'E') {
            if (!first) put(", ");
            first = false;
            if (*p == 'L') {  // a literal: <type><value>E
                ++p;
                size_t valueStart = length;
                if (!type()) return false;
                length = valueStart;  // shown as its value alone
                if (*p == 'n') {
                    put("-");
                    ++p;
                }
                while (*p && *p != 'E') put(p++, 1);
                if (*p != 'E') return false;
                ++p;
            } else if (!type()) {
                return false;
            }
        }
        if (*p != 'E') return false;
        ++p;
        if (length > 0 && out[length - 1] == '>') put(" ");
        put(">");
        add(start);
        return ok;
    }

    bool nestedName() {
        ++p;  // N
        while (*p == 'K' || *p == 'V' || *p == 'r') ++p;
        size_t start = length;
        bool any = false;
        while (ok && *p && *p != 'E') {
            if (*p == 'I') {
                if (!any || !templateArgs(start)) return false;
                continue;
            }
            if (any) put("::");
            bool isStd = false;
            if (*p == 'S') {
                if (!substitution(&isStd)) return false;
                if (isStd) {
                    put("std");
                    any = true;
                    continue;
                }
                any = true;
                continue;
            }
            if (!sourceName()) return false;
            any = true;
            add(start);
        }
        if (*p != 'E') return false;
        ++p;
        return any && ok;
    }

    bool className() {
        size_t start = length;
        if (*p == 'N') return nestedName();
        bool isStd = false;
        if (*p == 'S') {
            if (!substitution(&isStd)) return false;
            if (isStd) {
                put("std::");
                if (!sourceName()) return false;
                add(start);
            }
        } else {
            if (!sourceName()) return false;
            add(start);
        }
        if (*p == 'I') return templateArgs(start);
        return ok;
    }

    bool type() {
        static const struct {
            char code;
            const char* name;
        } builtins[] = {{'v', "void"},          {'w', "wchar_t"},        {'b', "bool"},      {'c', "char"},
                        {'a', "signed char"},   {'h', "unsigned char"},  {'s', "short"},     {'t', "unsigned short"},
                        {'i', "int"},           {'j', "unsigned int"},   {'l', "long"},      {'m', "unsigned long"},
                        {'x', "long long"},     {'y', "unsigned long long"}, {'n', "__int128"},
                        {'o', "unsigned __int128"}, {'f', "float"},      {'d', "double"},    {'e', "long double"},
                        {'g', "__float128"},    {'z', "..."}};
        for (const auto& b : builtins) {
            if (*p == b.code) {
                ++p;
                put(b.name);
                return ok;
            }
        }
        size_t start = length;
        switch (*p) {
            case 'D':
                if (p[1] == 'n') {
                    p += 2;
                    put("decltype(nullptr)");
                    return ok;
                }
                if (p[1] == 's' || p[1] == 'i') {
                    put(p[1] == 's' ? "char16_t" : "char32_t");
                    p += 2;
                    return ok;
                }
                return false;
            case 'P':
            case 'R':
            case 'O': {
                char kind = *p++;
                if (!type()) return false;
                put(kind == 'P' ? "*" : kind == 'R' ? "&" : "&&");
                add(start);
                return ok;
            }
            case 'K':
            case 'V': {
                char kind = *p++;
                if (!type()) return false;
                put(kind == 'K' ? " const" : " volatile");
                add(start);
                return ok;
            }
            default: {
                bool wasSubstitution = *p == 'S' && p[1] != 't';
                if (!className()) return false;
                // A substitution used as a type may still take arguments.
                if (wasSubstitution && *p == 'I') return templateArgs(start);
                return ok;
            }
        }
    }
};

}  // namespace

bool BBXDemangleTypeName(const char* mangled, char* out, size_t size) {
    if (!mangled || !out || size == 0) return false;
    Demangler d{mangled, out, size};
    bool ok = d.type() && d.ok && *d.p == 0;
    out[ok ? d.length : 0] = 0;
    return ok;
}
