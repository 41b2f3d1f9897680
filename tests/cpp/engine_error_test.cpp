#include <gtest/gtest.h>

#include <string>

#include "core/debug_text.hpp"
#include "core/engine_error.hpp"
#include "core/fault.hpp"

namespace qv {
namespace {

struct ErrorTextCase {
    EngineError error;
    const char* display;
    const char* debug;
};

TEST(EngineError, DisplayAndDebugTexts) {
    const ErrorTextCase cases[] = {
        {EngineError::type_error("bad"), "TypeError: bad", "TypeError(\"bad\")"},
        {EngineError::type_error(""), "TypeError: ", "TypeError(\"\")"},
        {EngineError::shape("buffer length mismatch: 3 vs 4"),
         "ShapeError: buffer length mismatch: 3 vs 4",
         "ShapeError(\"buffer length mismatch: 3 vs 4\")"},
        {EngineError::arg("missing arg: x"), "ArgError: missing arg: x",
         "ArgError(\"missing arg: x\")"},
        {EngineError::empty_collection("cannot sum empty buffer"),
         "EmptyCollection: cannot sum empty buffer",
         "EmptyCollection(\"cannot sum empty buffer\")"},
        {EngineError::cancelled(), "Cancelled", "Cancelled"},
        {EngineError::channel_closed(), "ChannelClosed", "ChannelClosed"},
        {EngineError::internal("say \"hi\"\n"), "Internal: say \"hi\"\n",
         "Internal(\"say \\\"hi\\\"\\n\")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.display(), c.display);
        EXPECT_EQ(c.error.debug(), c.debug);
    }
}

TEST(EngineError, KindNamesInDeclarationOrder) {
    const char* names[] = {"TypeError", "ShapeError",    "ArgError", "EmptyCollection",
                           "Cancelled", "ChannelClosed", "Internal"};
    for (int k = 0; k < 7; ++k) {
        EXPECT_STREQ(error_kind_name(static_cast<ErrorKind>(k)), names[k]);
    }
}

TEST(EngineError, CopiesOwnTheirMessage) {
    EngineError a = EngineError::arg("x");
    EngineError b = a;
    a = EngineError::cancelled();
    EXPECT_EQ(b.message(), "x");
    EXPECT_FALSE(a == b);
}

TEST(DebugQuote, Escapes) {
    const std::pair<std::string, const char*> cases[] = {
        {"plain", "\"plain\""},
        {"", "\"\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"'single'", "\"'single'\""},
        {"\t\r\n", "\"\\t\\r\\n\""},
        {std::string("a\0b", 3), "\"a\\0b\""},
        {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        {"\xC2\x85", "\"\\u{85}\""},                     // NEL, a C1 control
        {"\xC2\xA0", "\"\\u{a0}\""},                     // no-break space (Zs)
        {"\xE2\x80\x8B", "\"\\u{200b}\""},               // zero width space (Cf)
        {"\xE2\x80\xA8", "\"\\u{2028}\""},               // line separator
        {"\xEE\x80\x80", "\"\\u{e000}\""},               // private use
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},    // emoji, printable
        {"\xC3\xA9t\xC3\xA9", "\"\xC3\xA9t\xC3\xA9\""},  // precomposed e-acute
        {"e\xCC\x81", "\"e\\u{301}\""},                  // combining acute (Grapheme_Extend)
        {"\xE2\x80\x8D", "\"\\u{200d}\""},               // ZWJ: Cf and Grapheme_Extend
        {"\xF3\xA0\x80\xA0", "\"\\u{e0020}\""},          // tag space: Grapheme_Extend
        {"\xF4\x8F\xBF\xBF", "\"\\u{10ffff}\""},         // unassigned
        {"\xE4\xB8\xAD", "\"\xE4\xB8\xAD\""},            // CJK inside a First/Last range
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(debug_quote(in), out) << in;
}

TEST(DebugQuote, MalformedUtf8NeverCrashes) {
    EXPECT_EQ(debug_quote("\xFF"
                          "a"),
              "\"\\u{fffd}a\"");
    EXPECT_EQ(debug_quote("\xE4\xB8"), "\"\\u{fffd}\\u{fffd}\"");
    EXPECT_EQ(debug_quote("\xED\xA0\x80"), "\"\\u{fffd}\\u{fffd}\\u{fffd}\"");  // surrogate
}

TEST(Fault, ExpectationText) {
    try {
        fault_expect("contiguous array required", "NotContiguousError");
        FAIL();
    } catch (const Fault& f) {
        EXPECT_EQ(f.text(), "contiguous array required: NotContiguousError");
    }
}

}  // namespace
}  // namespace qv
