// parse_filter: the filter named by a str, or ValueError quoting the name.
#include <cstdio>
#include <string>

#include "python/entry.hpp"

namespace vantrell::py {
namespace {

// Characters that extend a grapheme without being marks (Mn and Me are
// recognised by category): Unicode's Other_Grapheme_Extend ranges.
constexpr Py_UCS4 OTHER_GRAPHEME_EXTEND[][2] = {
    {0x09BE, 0x09BE}, {0x09D7, 0x09D7}, {0x0B3E, 0x0B3E}, {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE}, {0x0BD7, 0x0BD7}, {0x0CC2, 0x0CC2}, {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E}, {0x0D57, 0x0D57}, {0x0DCF, 0x0DCF}, {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35}, {0x200C, 0x200C}, {0x302E, 0x302F}, {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
    {0xE0020, 0xE007F},
};

// Not printable: control, format, surrogate, private-use, unassigned, line and
// paragraph separators, spaces other than ' ', and grapheme extenders.
// Asks unicodedata for the general category; -1 with an exception on failure.
int is_unprintable(PyObject* unicodedata, Py_UCS4 c) {
    if (c == ' ') return 0;
    for (const auto& range : OTHER_GRAPHEME_EXTEND) {
        if (c >= range[0] && c <= range[1]) return 1;
    }
    Ref ch(PyUnicode_FromOrdinal(static_cast<int>(c)));
    if (!ch) return -1;
    Ref category(PyObject_CallMethod(unicodedata, "category", "O", ch.get()));
    if (!category) return -1;
    const char* cat = PyUnicode_AsUTF8(category.get());
    if (cat == nullptr) return -1;
    static const char* const UNPRINTABLE[] = {"Cc", "Cf", "Cs", "Co", "Cn",
                                              "Zl", "Zp", "Zs", "Mn", "Me"};
    for (const char* u : UNPRINTABLE) {
        if (std::string(cat) == u) return 1;
    }
    return 0;
}

// The name, escaped so that every character shows, as code points.
bool append_escaped(std::u32string& out, PyObject* name) {
    Ref unicodedata(PyImport_ImportModule("unicodedata"));
    if (!unicodedata) return false;
    auto append_ascii = [&](const char* text) {
        for (; *text; ++text) out += static_cast<char32_t>(*text);
    };
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(name, i);
        switch (c) {
            case '"': append_ascii("\\\""); continue;
            case '\\': append_ascii("\\\\"); continue;
            case '\t': append_ascii("\\t"); continue;
            case '\r': append_ascii("\\r"); continue;
            case '\n': append_ascii("\\n"); continue;
            case '\0': append_ascii("\\0"); continue;
            default: break;
        }
        int unprintable = is_unprintable(unicodedata.get(), c);
        if (unprintable < 0) return false;
        if (unprintable) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
            append_ascii(buffer);
        } else {
            out += static_cast<char32_t>(c);
        }
    }
    return true;
}

}  // namespace

bool parse_filter(PyObject* name, warp::Filter* filter) {
    if (name == nullptr || PyUnicode_CompareWithASCIIString(name, "bilinear") == 0) {
        *filter = warp::Filter::Bilinear;
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(name, "lanczos3") == 0) {
        *filter = warp::Filter::Lanczos3;
        return true;
    }
    std::u32string message = U"unknown filter \"";
    if (!append_escaped(message, name)) return false;
    message += U"\", expected \"bilinear\" or \"lanczos3\"";
    Ref text(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, message.data(),
                                       static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return false;
}

}  // namespace vantrell::py
