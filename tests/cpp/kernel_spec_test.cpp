#include <gtest/gtest.h>

#include "ir/kernel_spec.hpp"
#include "runtime/work.hpp"

namespace qv {
namespace {

ExprValue arg_with_id(std::uint64_t id, std::string name) {
    return ExprValue{std::nullopt, {arg_node(id)}, {{id, std::move(name)}}};
}

const KernelSpec& spec_of(const std::variant<KernelSpec, SpecError>& r) {
    if (const auto* e = std::get_if<SpecError>(&r)) ADD_FAILURE() << e->message;
    return std::get<KernelSpec>(r);
}

std::string error_of(const std::variant<KernelSpec, SpecError>& r) {
    const auto* e = std::get_if<SpecError>(&r);
    return e ? e->message : "<no error>";
}

TEST(KernelSpec, NumbersByTempIdNotByNameOrUse) {
    ExprValue b = arg_with_id(10, "b");
    ExprValue a = arg_with_id(20, "a");
    // a is used first in the tree but was created after b.
    ExprValue e = make_binary(BinaryOp::Sub, make_binary(BinaryOp::Mul, a, Operand(2.0)), b);
    auto r = make_kernel_spec(e);
    const KernelSpec& spec = spec_of(r);
    EXPECT_EQ(spec.arg_names, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(expr_repr({std::nullopt, spec.body, {}}),
              "Expr(Binary(Sub, Binary(Mul, ArgRef(1), Const(2.0)), ArgRef(0)))");
}

TEST(KernelSpec, BodiesDifferOnlyByNamesAreEqual) {
    ExprValue ab = make_binary(BinaryOp::Add, arg_with_id(1, "a"), arg_with_id(2, "b"));
    ExprValue xy = make_binary(BinaryOp::Add, arg_with_id(8, "x"), arg_with_id(9, "y"));
    EXPECT_EQ(spec_of(make_kernel_spec(ab)).body, spec_of(make_kernel_spec(xy)).body);
}

TEST(KernelSpec, EdgeShapes) {
    ExprValue x = new_arg("x");
    auto same_twice = make_kernel_spec(make_binary(BinaryOp::Add, x, x));
    EXPECT_EQ(spec_of(same_twice).arg_names, (std::vector<std::string>{"x"}));

    ExprValue constant{std::nullopt, {const_node(4.0)}, {}};
    auto none = make_kernel_spec(constant);
    EXPECT_TRUE(spec_of(none).arg_names.empty());
    EXPECT_EQ(spec_of(none).body, constant.nodes);

    // Map entries no ArgRef uses are ignored.
    ExprValue extra{std::nullopt, {arg_node(5)}, {{1, "unused"}, {5, "v"}, {9, "z"}}};
    EXPECT_EQ(spec_of(make_kernel_spec(extra)).arg_names, (std::vector<std::string>{"v"}));
}

TEST(KernelSpec, Refusals) {
    struct Case {
        ExprValue expr;
        const char* message;
    };
    const Case cases[] = {
        {make_binary(BinaryOp::Add, new_arg("x"), new_arg("x")), "duplicate arg name: x"},
        {ExprValue{std::nullopt, {arg_node(5)}, {}}, "missing temp arg metadata for arg index 5"},
        // The first failure in ascending temp-id order is the one reported.
        {ExprValue{std::nullopt,
                   make_select(arg_with_id(3, "p"), arg_with_id(1, "q"), arg_with_id(2, "q")).nodes,
                   {{1, "q"}, {2, "q"}}},
         "duplicate arg name: q"},
        {ExprValue{std::nullopt,
                   make_binary(BinaryOp::Add, arg_with_id(2, "x"), arg_with_id(1, "x")).nodes,
                   {{2, "x"}}},
         "missing temp arg metadata for arg index 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(make_kernel_spec(c.expr)), c.message);
}

TEST(BindArguments, NameChecks) {
    struct Case {
        std::vector<std::string> names;
        std::vector<std::string> bound;
        const char* message;  // nullptr: binds
    };
    const Case cases[] = {
        {{"x"}, {}, "missing arg: x"},
        {{"b", "a"}, {}, "missing args: a, b"},
        {{"b", "a"}, {"z"}, "missing args: a, b"},  // missing wins over unexpected
        {{"x"}, {"x", "z"}, "unexpected args: z"},
        {{}, {"z", "B", "a", "\xc3\xa9", "ab"}, "unexpected args: B, a, ab, z, \xc3\xa9"},
        {{"a", "ab", "A"}, {"a"}, "missing args: A, ab"},
        {{}, {}, nullptr},
        {{"x", "y"}, {"y", "x"}, nullptr},
    };
    for (const auto& c : cases) {
        MapWork work{c.names, {}, {}};
        for (const auto& n : c.bound) work.bound.emplace(n, 1.0);
        Result<ArgValues> r = bind_arguments(work);
        if (c.message) {
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error(), EngineError::arg(c.message));
        } else {
            ASSERT_TRUE(r.ok()) << r.error().message();
            EXPECT_EQ(r.value().size(), c.names.size());
        }
    }
}

TEST(BindArguments, ValuesInDenseOrderBuffersShared) {
    BufferRef buf = from_f64_vec(F64Vec{1.0, 2.0});
    MapWork work{{"b", "a", "c"}, {}, {{"a", 2.5}, {"b", buf}, {"c", -1.0}}};
    Result<ArgValues> r = bind_arguments(work);
    ASSERT_TRUE(r.ok());
    const ArgValues& v = r.value();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(std::get<BufferRef>(v[0]).get(), buf.get());
    EXPECT_EQ(std::get<double>(v[1]), 2.5);
    EXPECT_EQ(std::get<double>(v[2]), -1.0);
}

}  // namespace
}  // namespace qv
