#include "module/errors.hpp"

namespace quoranth::py {

void raise_conversion_error(PyObject* object, const char* target) {
    OwnedRef qualname = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!qualname) {
        PyErr_Clear();
        qualname = OwnedRef::steal(PyUnicode_FromString("<unknown>"));
    }
    raise(PyExc_TypeError,
          OwnedRef::steal(PyUnicode_FromFormat("'%S' object cannot be converted to '%s'", qualname.get(), target)));
}

}  // namespace quoranth::py
