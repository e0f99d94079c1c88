#include "query.hpp"

#include "core/model/component.hpp"
#include "core/model/query.hpp"
#include "model.hpp"

namespace whistle::py {

namespace {

bool to_query_arguments(PyObject* args, std::vector<QueryArgument>& out) {
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        if (item == Py_None) {
            out.emplace_back(nullptr);
        } else if (PyUnicode_Check(item)) {
            std::string pattern;
            if (!to_text(item, "pattern", pattern)) return false;
            out.emplace_back(std::move(pattern));
        } else if (bool index_allowed = query_index_allowed(out, size_t(i));
                   index_allowed && PyLong_Check(item) && !PyBool_Check(item)) {
            int overflow = 0;
            long long index = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (index == -1 && PyErr_Occurred()) return false;
            // Indices beyond the 64-bit range select nothing, like any index past the matches.
            out.emplace_back(overflow < 0 ? int64_t(-1) : overflow > 0 ? INT64_MAX : int64_t(index));
        } else {
            PyErr_Format(PyExc_TypeError,
                         "Argument %zd cannot be processed: expected a string%s, or 'None'.", i,
                         index_allowed ? ", an integer" : "");
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* query_component(const std::shared_ptr<Component>& root, PyObject* args) {
    std::vector<QueryArgument> arguments;
    if (!to_query_arguments(args, arguments)) return nullptr;
    try {
        ErrorHandler status;
        std::vector<QueryResult> results = query(*root, arguments, status);
        if (status.failed()) {
            PyErr_SetString(PyExc_ValueError, status.message.c_str());
            return nullptr;
        }
        auto result_object = [](const QueryResult& result) {
            return result.port ? wrap(result.port) : wrap(result.terminal);
        };
        if (results.size() == 1) return result_object(results[0]);
        Ref list(PyList_New(Py_ssize_t(results.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < results.size(); ++i) {
            PyObject* item = result_object(results[i]);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
        }
        return list.release();
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
