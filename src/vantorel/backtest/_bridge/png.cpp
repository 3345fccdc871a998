// PNG files of drawn figures: the renderer's RGBA pixels written as they are, rows unfiltered and
// deflated at zlib's fastest level (by Python's zlib, which works without the GIL).
#include <cstdint>
#include <cstring>
#include <string>

#include "charts.hpp"

namespace vantorel::bridge::chart {

namespace {

void put_u32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    out.append(bytes, 4);
}

// A chunk: length, type, data and the CRC of type and data.
void put_chunk(std::string& out, const char* type, const char* data, std::size_t size, nb::handle zlib) {
    put_u32(out, static_cast<std::uint32_t>(size));
    const std::size_t start = out.size();
    out.append(type, 4);
    out.append(data, size);
    nb::object crc = zlib.attr("crc32")(nb::bytes(out.data() + start, out.size() - start));
    put_u32(out, nb::cast<std::uint32_t>(crc));
}

}  // namespace

void write_png(nb::handle rgba, nb::handle save_path) {
    Py_buffer view;
    if (PyObject_GetBuffer(rgba.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_ND) != 0)
        throw nb::python_error();
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (view.ndim != 3 || view.shape[2] != 4 || view.itemsize != 1)
        throw nb::value_error("an RGBA pixel buffer of height x width x 4 bytes is needed");
    const auto height = static_cast<std::size_t>(view.shape[0]);
    const auto width = static_cast<std::size_t>(view.shape[1]);
    const std::size_t row = width * 4;

    // Each row behind its filter byte 0 (none): filtering would cost more than it saves here.
    nb::object rows =
        nb::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(height * (row + 1))));
    if (!rows.is_valid())
        throw nb::python_error();
    char* dst = PyBytes_AsString(rows.ptr());
    const char* src = static_cast<const char*>(view.buf);
    for (std::size_t y = 0; y < height; ++y) {
        dst[y * (row + 1)] = 0;
        std::memcpy(dst + y * (row + 1) + 1, src + y * row, row);
    }
    nb::module_ zlib = nb::module_::import_("zlib");
    nb::bytes deflated = nb::borrow<nb::bytes>(zlib.attr("compress")(rows, 1));

    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    put_u32(header, static_cast<std::uint32_t>(width));
    put_u32(header, static_cast<std::uint32_t>(height));
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter set, no interlace
    put_chunk(png, "IHDR", header.data(), header.size(), zlib);
    put_chunk(png, "IDAT", deflated.c_str(), deflated.size(), zlib);
    put_chunk(png, "IEND", "", 0, zlib);
    nb::module_::import_("pathlib").attr("Path")(save_path).attr("write_bytes")(
        nb::bytes(png.data(), png.size()));
}

}  // namespace vantorel::bridge::chart
