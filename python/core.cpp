// curvedump._core, the compiled part of the Python package `curvedump`: the
// exact values of a data file from the converter's own core (the same
// decoding, scaling and rendering), without going through the five-digit
// text. The package's __init__.py gives the public names.
#include "curvedump.hpp"

#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace py = pybind11;

namespace {

// A file read and decoded. The text and the console lines are made only
// when asked for, so that reading costs the decoding and scaling alone.
struct Curves {
    curvedump::Decoded decoded;
    py::array_t<float> series1;
    py::array_t<float> series2;
};

// The last line of console text, without its line end.
std::string last_line(std::string_view console)
{
    console.remove_suffix(console.ends_with("\r\n") ? 2 : 0);
    const std::size_t start = console.rfind('\n');
    return std::string(console.substr(start == std::string_view::npos ? 0 : start + 1));
}

// Console text as str: paths in it are bytes, decoded as os.fsdecode does.
py::str console_str(const std::string& text)
{
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// curvedump.Error, defined in the package's __init__.py before it imports
// this extension.
[[noreturn]] void raise_refusal(int status, const std::string& console)
{
    const py::object error_type = py::module_::import("curvedump").attr("Error");
    const py::object error =
        error_type(status, console_str(last_line(console)), console_str(console));
    PyErr_SetObject(error_type.ptr(), error.ptr());
    throw py::error_already_set();
}

// OSError for errno's value, of the subclass it maps to (FileNotFoundError,
// IsADirectoryError, PermissionError, ...), naming the path.
[[noreturn]] void raise_os_error(int error, const py::object& path)
{
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

// str, bytes or any os.PathLike, as the bytes the system is given. A NUL
// would end the name early and open another file: refused, as open() does.
std::string path_bytes(const py::object& path)
{
    auto name = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
    if (name.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte");
    return name;
}

py::array_t<float> float32_array(std::span<const std::uint32_t> bits)
{
    // Bit patterns copied as they are: no conversion touches a NaN's bits.
    py::array_t<float> array(static_cast<py::ssize_t>(bits.size()));
    if (!bits.empty())
        std::memcpy(array.mutable_data(), bits.data(), bits.size_bytes());
    return array;
}

Curves make_curves(curvedump::Decoded&& decoded)
{
    if (decoded.status != curvedump::status_ok)
        raise_refusal(decoded.status, curvedump::console_lines(decoded));
    Curves curves{std::move(decoded), {}, {}};
    curves.series1 = float32_array(curvedump::series1_values(curves.decoded));
    curves.series2 = float32_array(curvedump::series2_values(curves.decoded));
    return curves;
}

Curves read_path(const py::object& path)
{
    const std::string name = path_bytes(path);
    int error = 0;
    curvedump::Decoded decoded;
    {
        const py::gil_scoped_release unlocked;
        decoded = curvedump::decode_file(name, error);
    }
    if (error != 0)
        raise_os_error(error, path);
    return make_curves(std::move(decoded));
}

Curves read_data(const py::buffer& data)
{
    const py::buffer_info info = data.request();
    if (info.ndim != 1 || info.itemsize != 1)
        throw py::type_error("read_bytes takes a bytes-like object of single bytes");
    // Copied while the object cannot change, step by step for a view whose
    // bytes are not next to each other (every other byte, or reversed);
    // decoded without the lock.
    std::vector<unsigned char> image(curvedump::image_size);
    const auto size = static_cast<std::size_t>(info.size);
    const std::size_t bytes_read = std::min(size, curvedump::image_size);
    const auto* bytes = static_cast<const unsigned char*>(info.ptr);
    const py::ssize_t step = info.strides[0];
    if (step == 1) {
        std::memcpy(image.data(), bytes, bytes_read);
    } else {
        for (std::size_t i = 0; i < bytes_read; ++i)
            image[i] = bytes[static_cast<py::ssize_t>(i) * step];
    }
    curvedump::Decoded decoded;
    {
        const py::gil_scoped_release unlocked;
        decoded = curvedump::decode_image(image, bytes_read);
    }
    return make_curves(std::move(decoded));
}

py::str convert_path(const py::object& path)
{
    const std::string name = path_bytes(path);
    std::string console;
    int error = 0;
    int status = 0;
    {
        const py::gil_scoped_release unlocked;
        status = curvedump::convert_file(
            name, [&console](std::string_view text) { console.append(text); }, &error);
    }
    if (status == curvedump::status_input)
        raise_os_error(error, path);
    if (status != curvedump::status_ok)
        raise_refusal(status, console);
    return console_str(console);
}

py::tuple pair(std::uint32_t first, std::uint32_t second)
{
    return py::make_tuple(curvedump::to_double(first), curvedump::to_double(second));
}

// What a Curves pickles as: each descriptor's fields, the values as read
// (for text()) and the two arrays as they are now.
py::tuple curves_state(const Curves& c)
{
    const auto fields = [](const curvedump::SeriesDescriptor& s) {
        return py::make_tuple(s.block, s.length, s.count, s.scale, s.offset);
    };
    const std::vector<std::uint32_t>& values = c.decoded.values;
    return py::make_tuple(
        fields(c.decoded.series1), fields(c.decoded.series2),
        py::array_t<std::uint32_t>(static_cast<py::ssize_t>(values.size()), values.data()),
        c.series1, c.series2);
}

Curves curves_from_state(const py::tuple& state)
{
    const auto fields = [](const py::handle& t) {
        const auto f = t.cast<py::tuple>();
        return curvedump::SeriesDescriptor{f[0].cast<std::int16_t>(), f[1].cast<std::int16_t>(),
                                           f[2].cast<std::int16_t>(), f[3].cast<std::uint32_t>(),
                                           f[4].cast<std::uint32_t>()};
    };
    Curves c;
    c.decoded.series1 = fields(state[0]);
    c.decoded.series2 = fields(state[1]);
    const auto values = state[2].cast<py::array_t<std::uint32_t>>();
    c.decoded.values.assign(values.data(), values.data() + values.size());
    c.series1 = state[3].cast<py::array_t<float>>();
    c.series2 = state[4].cast<py::array_t<float>>();
    return c;
}

} // namespace

PYBIND11_MODULE(_core, m)
{
    m.doc() = "The compiled core of the curvedump package.";
    m.attr("__version__") = CURVEDUMP_VERSION;

    py::class_<Curves> curves(m, "Curves", "The two series of a data file, decoded and scaled.");
    curves
        .def_property_readonly(
            "blocks",
            [](const Curves& c) {
                return py::make_tuple(c.decoded.series1.block, c.decoded.series2.block);
            },
            "(block1, block2): where each series starts, in 256-byte blocks.")
        .def_property_readonly(
            "lengths",
            [](const Curves& c) {
                return py::make_tuple(c.decoded.series1.length, c.decoded.series2.length);
            },
            "(length1, length2): each series' size in bytes, as the header gives it.")
        .def_property_readonly(
            "scales",
            [](const Curves& c) { return pair(c.decoded.series1.scale, c.decoded.series2.scale); },
            "(scale1, scale2): the stored single-precision factors, exactly.")
        .def_property_readonly(
            "offsets",
            [](const Curves& c) {
                return pair(c.decoded.series1.offset, c.decoded.series2.offset);
            },
            "(offset1, offset2): the stored single-precision offsets, exactly.")
        .def_readwrite("series1", &Curves::series1,
                       "Series 1 scaled: a float32 array of all its values. The arrays are\n"
                       "the caller's: changing them leaves text() as read.")
        .def_readwrite("series2", &Curves::series2,
                       "Series 2 scaled: a float32 array of all its values (the longer\n"
                       "series' tail included, which the text file leaves out).")
        .def(
            "text",
            [](const Curves& c) {
                return py::bytes(curvedump::output_text(curvedump::series1_values(c.decoded),
                                                        curvedump::series2_values(c.decoded)));
            },
            "The exact bytes the tool writes to PATH.txt.")
        .def(
            "console",
            [](const Curves& c) { return console_str(curvedump::console_lines(c.decoded)); },
            "The console lines the tool prints before its \"converting\" line.")
        .def("__repr__",
             [](const Curves& c) {
                 return "<curvedump.Curves: " + std::to_string(c.decoded.series1.count) + " and " +
                        std::to_string(c.decoded.series2.count) + " values>";
             })
        .def(py::pickle(&curves_state, &curves_from_state));
    // Pickles name the public place, curvedump.Curves.
    curves.attr("__module__") = "curvedump";

    m.def("_read", &read_path);
    m.def("_read_bytes", &read_data);
    m.def("_convert", &convert_path);
}
