// bmpvintage._core: the core library's calls for Python. Every call into the
// core runs with the GIL released; the buffers it works on are held through
// the buffer protocol for the whole call, so they cannot be resized or freed
// meanwhile. Failures of the core raise bmpvintage.BMPVintageError, made by
// bmpvintage._errors from the status.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <exception>
#include <utility>

#include "module/bmpv.h"

namespace py = pybind11;

namespace {

// A status other than BMPV_OK, raised as bmpvintage.BMPVintageError.
struct Failure : std::exception {
    explicit Failure(int s) : status(s) {}
    const char* what() const noexcept override { return bmpv_strerror(status); }
    int status;
};

void Check(bmpv_status status) {
    if (status != BMPV_OK) throw Failure(status);
}

// A buffer held through the buffer protocol until destroyed.
class Buffer {
  public:
    // `flags`: PyBUF_SIMPLE (read-only, contiguous) or with PyBUF_WRITABLE,
    // or PyBUF_RECORDS (writable, with shape and strides).
    Buffer(py::handle object, int flags, const char* what) {
        if (!PyObject_CheckBuffer(object.ptr())) {
            throw py::type_error(std::string(what) + ": a bytes-like object is required, not '" +
                                 Py_TYPE(object.ptr())->tp_name + "'");
        }
        if (PyObject_GetBuffer(object.ptr(), &view_, flags) == 0) return;
        // A read-only buffer where a writable one is needed is a wrong type,
        // as for readinto(); other refusals (not contiguous) stand as raised.
        if ((flags & PyBUF_WRITABLE) != 0) {
            Py_buffer readonly{};
            if (PyObject_GetBuffer(object.ptr(), &readonly, flags & ~PyBUF_WRITABLE) == 0) {
                PyBuffer_Release(&readonly);
                PyErr_Clear();
                throw py::type_error(std::string(what) + ": a writable buffer is required, not '" +
                                     Py_TYPE(object.ptr())->tp_name + "' (read-only)");
            }
        }
        throw py::error_already_set();
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { PyBuffer_Release(&view_); }

    const Py_buffer& view() const { return view_; }
    void* data() const { return view_.buf; }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
};

// A new bytes object of `size` bytes, to be filled before anyone sees it.
py::bytes NewBytes(std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(bytes);
}

// Cuts a bytes object that no one else has seen down to `size` bytes.
py::bytes Shrink(py::bytes bytes, std::size_t size) {
    PyObject* object = bytes.release().ptr();
    if (_PyBytes_Resize(&object, static_cast<Py_ssize_t>(size)) != 0) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(object);
}

py::bytes Tone(py::handle data) {
    const Buffer in(data, PyBUF_SIMPLE, "tone");
    py::bytes out = NewBytes(in.size());
    char* to = PyBytes_AS_STRING(out.ptr());
    bmpv_status status;
    {
        py::gil_scoped_release released;
        status = bmpv_tone_buffer(in.data(), to, in.size());
    }
    Check(status);
    return out;
}

void ToneInto(py::handle buffer) {
    const Buffer io(buffer, PyBUF_WRITABLE, "tone_into");
    bmpv_status status;
    {
        py::gil_scoped_release released;
        status = bmpv_tone_buffer(io.data(), io.data(), io.size());
    }
    Check(status);
}

// Pixels of a 3-dimensional buffer (rows, columns, channels) of bytes.
// Returns false, toning nothing, when a row's pixels are not packed one
// after another (the caller then tones a packed copy).
bool TonePixels(py::handle pixels, int layout, int channels) {
    const Buffer io(pixels, PyBUF_RECORDS, "tone_pixels");
    const Py_buffer& v = io.view();
    if (v.ndim != 3 || v.itemsize != 1 || v.shape[2] != channels) {
        throw py::value_error("tone_pixels: a buffer of shape (height, width, " +
                              std::to_string(channels) + ") of bytes is required");
    }
    const auto height = static_cast<std::size_t>(v.shape[0]);
    const auto width = static_cast<std::size_t>(v.shape[1]);
    if (height == 0 || width == 0) return true;
    if (v.strides[2] != 1 || (width > 1 && v.strides[1] != channels)) return false;
    const auto row = static_cast<Py_ssize_t>(width) * channels;
    Py_ssize_t stride = v.strides[0];
    if (height == 1) {
        stride = row;
    } else if (stride < row && stride > -row) {
        // Rows that share bytes (a stride of 0 reads as packed rows to the core).
        throw py::value_error("tone_pixels: the rows overlap (stride " + std::to_string(stride) +
                              " for rows of " + std::to_string(row) + " bytes)");
    }
    bmpv_status status;
    {
        py::gil_scoped_release released;
        status = bmpv_tone_pixels(io.data(), width, height, stride,
                                  static_cast<bmpv_layout>(layout));
    }
    Check(status);
    return true;
}

py::tuple ToneFile(const py::bytes& source, const py::bytes& destination, unsigned flags) {
    const std::string in = source;
    const std::string out = destination;
    int error = 0;
    bmpv_status status;
    {
        py::gil_scoped_release released;
        status = bmpv_tone_file(in.c_str(), out.c_str(), flags, &error);
    }
    return py::make_tuple(static_cast<int>(status), error);
}

// One file's stream: push() gives the bytes that are final, finish() the rest.
class Stream {
  public:
    Stream() { Check(bmpv_stream_new(&stream_)); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() { bmpv_stream_free(stream_); }

    py::bytes Push(py::handle chunk) {
        const Buffer in(chunk, PyBUF_SIMPLE, "tone_stream");
        py::bytes out = NewBytes(in.size() + BMPV_STREAM_SLACK);
        char* to = PyBytes_AS_STRING(out.ptr());
        std::size_t written = 0;
        bmpv_status status;
        {
            py::gil_scoped_release released;
            status = bmpv_stream_push(stream_, in.data(), in.size(), to,
                                      in.size() + BMPV_STREAM_SLACK, &written);
        }
        Check(status);
        return Shrink(std::move(out), written);
    }

    py::bytes Finish() {
        py::bytes out = NewBytes(BMPV_STREAM_SLACK);
        std::size_t written = 0;
        Check(bmpv_stream_finish(stream_, PyBytes_AS_STRING(out.ptr()), BMPV_STREAM_SLACK,
                                 &written));
        return Shrink(std::move(out), written);
    }

    void Reset() { bmpv_stream_reset(stream_); }

  private:
    bmpv_stream* stream_ = nullptr;
};

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The SorvaneBMPVintage core library, linked in (use the bmpvintage package).";
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const Failure& failure) {
            const py::object error =
                py::module_::import("bmpvintage._errors").attr("error")(failure.status);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        }
    });
    m.attr("STREAM_SLACK") = BMPV_STREAM_SLACK;
    m.attr("NO_CLOBBER") = BMPV_NO_CLOBBER;
    m.def("status_name", &bmpv_status_name, py::arg("status"));
    m.def("strerror", &bmpv_strerror, py::arg("status"));
    m.def("version", &bmpv_version_string);
    m.def("tone", &Tone, py::arg("data"));
    m.def("tone_into", &ToneInto, py::arg("buffer"));
    m.def("tone_pixels", &TonePixels, py::arg("pixels"), py::arg("layout"), py::arg("channels"));
    m.def("tone_file", &ToneFile, py::arg("source"), py::arg("destination"), py::arg("flags"));
    py::class_<Stream>(m, "Stream")
        .def(py::init<>())
        .def("push", &Stream::Push, py::arg("chunk"))
        .def("finish", &Stream::Finish)
        .def("reset", &Stream::Reset);
}
