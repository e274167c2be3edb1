// curvedump._core, the compiled part of the Python package `curvedump`: the
// converter's own decoding, scaling and rendering, for the package's
// __init__.py, which holds the public names (Curves among them) and turns
// what these functions return into values, warnings and exceptions.
//
// Every function here checks what it is given (types, sizes, layouts of
// buffers) before using it, so that no call from Python, however wrong,
// reads or writes memory it does not own.
#include "curvedump.hpp"
#include "layout.hpp"
#include "single.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// A name as the system is given it. A NUL would end the name early and
// open another file: refused, as open() does.
std::string checked_name(const py::bytes& name)
{
    auto text = name.cast<std::string>();
    if (text.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte");
    return text;
}

// Console text as str: paths in it are bytes, decoded as os.fsdecode does.
py::str console_str(const std::string& text)
{
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

py::tuple descriptor_fields(const curvedump::Decoded& d)
{
    return py::make_tuple(d.series1.block, d.series2.block, d.series1.length, d.series2.length,
                          d.series1.count, d.series2.count, d.series1.scale, d.series2.scale,
                          d.series1.offset, d.series2.offset);
}

// What decoding gives, for __init__.py: (status, descriptor fields,
// file size, series_past_end, the values of both series as one bytearray
// of native float32 or None, console text or None). The console text is
// made only for a refusal, so that reading costs the decoding and scaling
// alone. The values go into a bytearray, which numpy views without owning
// it: nobody can then resize or reshape the store behind the views.
py::tuple decoded_result(const curvedump::Decoded& d)
{
    if (d.status != curvedump::status_ok) {
        return py::make_tuple(d.status, descriptor_fields(d), d.file_size, 0, py::none(),
                              console_str(curvedump::console_lines(d)));
    }
    // Bit patterns copied as they are: no conversion touches a NaN's bits.
    const auto values = py::reinterpret_steal<py::object>(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(d.values.data()),
        static_cast<Py_ssize_t>(d.values.size() * sizeof(std::uint32_t))));
    if (!values)
        throw py::error_already_set();
    return py::make_tuple(d.status, descriptor_fields(d), d.file_size,
                          curvedump::series_past_end(d), values, py::none());
}

// (errno, None) when the file cannot be opened or read, else (0, what
// decoded_result gives).
py::tuple decode_file(const py::bytes& name)
{
    const std::string path = checked_name(name);
    int error = 0;
    curvedump::Decoded decoded;
    {
        const py::gil_scoped_release unlocked;
        decoded = curvedump::decode_file(path, error, curvedump::Scaling::binary64_first);
    }
    if (error != 0)
        return py::make_tuple(error, py::none());
    return py::make_tuple(0, decoded_result(decoded));
}

// Any bytes-like object of single bytes, however laid out (every other
// byte, reversed), as decoded_result gives it.
py::tuple decode_bytes(const py::object& data)
{
    if (PyObject_CheckBuffer(data.ptr()) == 0) {
        const auto type = py::type::handle_of(data).attr("__name__").cast<std::string>();
        throw py::type_error("read_bytes takes a bytes-like object, not " + type);
    }
    const py::buffer_info info = py::reinterpret_borrow<py::buffer>(data).request();
    if (info.ndim != 1 || info.itemsize != 1)
        throw py::type_error("read_bytes takes a bytes-like object of single bytes");
    // Copied while the object cannot change, step by step for a view whose
    // bytes are not next to each other; decoded without the lock.
    std::vector<unsigned char> image(curvedump::image_size);
    const auto size = static_cast<std::size_t>(info.size);
    const std::size_t bytes_read = std::min(size, curvedump::image_size);
    const auto* bytes = static_cast<const unsigned char*>(info.ptr);
    const py::ssize_t step = info.strides[0];
    if (step == 1) {
        std::copy_n(bytes, bytes_read, image.begin());
    } else {
        for (std::size_t i = 0; i < bytes_read; ++i)
            image[i] = bytes[static_cast<py::ssize_t>(i) * step];
    }
    curvedump::Decoded decoded;
    {
        const py::gil_scoped_release unlocked;
        decoded = curvedump::decode_image(image, bytes_read, curvedump::Scaling::binary64_first);
    }
    return decoded_result(decoded);
}

// (status, console text, input errno, output errno, series_past_end).
py::tuple convert_path(const py::bytes& name)
{
    const std::string path = checked_name(name);
    std::string console;
    curvedump::ConvertReport report;
    int status = 0;
    {
        const py::gil_scoped_release unlocked;
        status = curvedump::convert_file(
            path, [&console](std::string_view text) { console.append(text); }, &report);
    }
    return py::make_tuple(status, console_str(console), report.input_error, report.output_error,
                          report.past_end);
}

// Field i of a tuple of ints: TypeError for anything but an int, and
// ValueError for one outside Field's range.
template <typename Field> Field field(const py::tuple& fields, std::size_t i)
{
    const py::handle item = fields[i];
    if (!PyLong_Check(item.ptr()))
        throw py::type_error("descriptor fields are ints");
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
    if (overflow != 0 || value < std::numeric_limits<Field>::min() ||
        value > std::numeric_limits<Field>::max())
        throw py::value_error("descriptor field out of range");
    return static_cast<Field>(value);
}

// The descriptors from the fields descriptor_fields gives.
curvedump::Decoded from_fields(const py::tuple& fields)
{
    if (fields.size() != 10)
        throw py::value_error("descriptor fields: 10 values expected");
    curvedump::Decoded d;
    d.series1 = {field<std::int16_t>(fields, 0), field<std::int16_t>(fields, 2),
                 field<std::int16_t>(fields, 4), field<std::uint32_t>(fields, 6),
                 field<std::uint32_t>(fields, 8)};
    d.series2 = {field<std::int16_t>(fields, 1), field<std::int16_t>(fields, 3),
                 field<std::int16_t>(fields, 5), field<std::uint32_t>(fields, 7),
                 field<std::uint32_t>(fields, 9)};
    return d;
}

// Whether these fields are a descriptor table a file can have: each count
// the one its length gives, and each series inside the image, as the
// tool's own check decides.
bool descriptors_fit(const py::tuple& fields)
{
    const curvedump::Decoded d = from_fields(fields);
    const auto fits = [](const curvedump::SeriesDescriptor& s) {
        return s.count == s.length / 4 && curvedump::descriptor_fits(s);
    };
    return fits(d.series1) && fits(d.series2);
}

// series_past_end for these fields and file size.
int past_end(const py::tuple& fields, std::size_t file_size)
{
    curvedump::Decoded d = from_fields(fields);
    d.file_size = file_size;
    return curvedump::series_past_end(d);
}

py::str console(const py::tuple& fields)
{
    return console_str(curvedump::console_lines(from_fields(fields)));
}

// The bit patterns of a one-dimensional array of 4-byte values, copied
// while the lock is held.
using Bits = py::array_t<std::uint32_t, py::array::c_style>;

std::vector<std::uint32_t> copied_bits(const Bits& values)
{
    if (values.ndim() != 1)
        throw py::value_error("a one-dimensional array expected");
    const auto* data = values.data();
    return {data, data + values.size()};
}

// The output text for these values, formatted without the lock.
py::bytes text(const Bits& series1, const Bits& series2)
{
    const std::vector<std::uint32_t> first = copied_bits(series1);
    const std::vector<std::uint32_t> second = copied_bits(series2);
    std::string output;
    {
        const py::gil_scoped_release unlocked;
        output = curvedump::output_text(first, second);
    }
    return {output};
}

} // namespace

PYBIND11_MODULE(_core, m)
{
    m.doc() = "The compiled core of the curvedump package (its __init__.py gives the public "
              "names).";
    m.attr("__version__") = CURVEDUMP_VERSION;
    m.attr("image_size") = curvedump::image_size;
    m.def("decode_file", &decode_file, py::arg("name"));
    m.def("decode_bytes", &decode_bytes, py::arg("data"));
    m.def("convert", &convert_path, py::arg("name"));
    m.def("console", &console, py::arg("fields"));
    m.def("descriptors_fit", &descriptors_fit, py::arg("fields"));
    m.def("past_end", &past_end, py::arg("fields"), py::arg("file_size"));
    m.def("text", &text, py::arg("series1"), py::arg("series2"));
    m.def("to_double", &curvedump::single::to_double, py::arg("bits"));
}
