// RecvCase and py_select: waiting on several channels at once. The arguments are read
// and the result built with the interpreter lock held; the choice and the wait happen
// without it.
#include "python/py_select.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "channel/select.hpp"
#include "core/engine_error.hpp"
#include "python/arg_frame.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/heap_type.hpp"
#include "python/py_buffer.hpp"
#include "python/py_channel.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

constexpr Signature kRecvCaseNew = Signature("RecvCase.__new__()").required("channel");
constexpr Signature kSelectSignature =
    Signature("py_select()").varargs("cases").keyword_only("default");

PyObject* recv_case_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        const Args parsed = parse_tuple_dict(kRecvCaseNew, args, kwargs);
        PyObject* channel = parsed.convert(
            0, [](PyObject* v) { return to_instance(v, channel_type(), "Channel"); });
        // A copy of the channel's handle: keeps its queue alive.
        return wrap(type, channel_handle(channel));
    });
}

QV_FASTCALL_FN(py_select) {
    (void)self;
    return guarded([&]() -> PyObject* {
        const Args parsed = parse_fastcall(kSelectSignature, args, nargs, kwnames);
        // Copies: the call must not depend on the cases outliving it.
        std::vector<ChannelHandle> cases;
        cases.reserve(parsed.rest().size());
        parsed.convert_rest([&](PyObject* v) {
            cases.push_back(held<ChannelHandle>(to_instance(v, recv_case_type(), "RecvCase")));
        });
        const bool poll = parsed[0] != nullptr && parsed.convert(0, to_bool);
        // A case that is ready is taken without giving up the interpreter lock; only a
        // wait releases it. An empty poll is the fault's case, handled below.
        std::optional<SelectResult> chosen;
        if (!cases.empty()) chosen = select_recv(cases, true);
        if (!chosen && !poll) {
            ReleaseGil nogil;
            chosen = select_recv(cases, false);
        }
        if (!chosen) return check(Py_BuildValue("(iO)", -1, Py_None));
        put_back_if_interrupted(cases[chosen->index], chosen->item);
        if (!chosen->item || chosen->item->is_end_marker()) {
            raise_general(EngineError::channel_closed());
        }
        Ref buffer = Ref::steal(wrap_buffer(std::move(chosen->item->buffer)));
        Ref index = Ref::steal(check(PyLong_FromSize_t(chosen->index)));
        return check(PyTuple_Pack(2, index.get(), buffer.get()));
    });
}

PyMethodDef py_select_def = {
    "py_select", method_cast(py_select), METH_FASTCALL | METH_KEYWORDS,
    "py_select(*cases, default=False)\n--\n\nPython-visible select function."};

}  // namespace

PyTypeObject* recv_case_type() {
    static PyTypeObject* type = nullptr;
    return holder_type<ChannelHandle>(
        type, "builtins.RecvCase",
        {
            {Py_tp_doc,
             const_cast<char*>("RecvCase(channel)\n--\n\nPython-visible `RecvCase` for select.")},
            {Py_tp_new, reinterpret_cast<void*>(recv_case_new)},
        });
}

PyObject* make_py_select(PyObject* module) {
    Ref name = Ref::steal(check(PyModule_GetNameObject(module)));
    return check(PyCFunction_NewEx(&py_select_def, module, name.get()));
}

}  // namespace qv::py
