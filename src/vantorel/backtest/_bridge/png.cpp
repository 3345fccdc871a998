// PNG files of drawn figures: the renderer's pixels written as they are, rows unfiltered (filtering
// would cost more than it saves here), without the alpha channel when every pixel is opaque, and
// deflated at zlib's fastest level in two halves at once (by Python's zlib, which deflates without
// the GIL), joined into one stream.
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "charts.hpp"
#include "vantorel/png_rows.hpp"

namespace vantorel::bridge::chart {

namespace {

// A read-only view of bytes this function's caller keeps alive while the view is used.
nb::object bytes_view(const void* data, std::size_t size) {
    PyObject* view = PyMemoryView_FromMemory(const_cast<char*>(static_cast<const char*>(data)),
                                             static_cast<Py_ssize_t>(size), PyBUF_READ);
    if (view == nullptr)
        throw nb::python_error();
    return nb::steal(view);
}

void put_u32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    out.append(bytes, 4);
}

// A chunk: length, type, data and the CRC of type and data.
void put_chunk(std::string& out, const char* type, const std::string& data, nb::handle zlib) {
    put_u32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.append(type, 4);
    out += data;
    nb::object crc = zlib.attr("crc32")(bytes_view(out.data() + start, out.size() - start));
    put_u32(out, nb::cast<std::uint32_t>(crc));
}

// One part of a deflate stream (raw, no zlib header) and its Adler-32 checksum. A part that is not
// the last ends on a byte boundary without a final block, so that the next part can follow it.
struct Deflated {
    std::string bytes;
    std::uint32_t adler = 1;
};

Deflated deflate_part(const std::uint8_t* data, std::size_t size, bool last) {
    nb::module_ zlib = nb::module_::import_("zlib");
    nb::object part = bytes_view(data, size);
    nb::object compressor = zlib.attr("compressobj")(1, zlib.attr("DEFLATED"), -15);
    nb::bytes head = nb::borrow<nb::bytes>(compressor.attr("compress")(part));
    nb::bytes tail = nb::borrow<nb::bytes>(
        compressor.attr("flush")(last ? zlib.attr("Z_FINISH") : zlib.attr("Z_SYNC_FLUSH")));
    Deflated out;
    out.bytes.reserve(head.size() + tail.size());
    out.bytes.append(head.c_str(), head.size()).append(tail.c_str(), tail.size());
    out.adler = nb::cast<std::uint32_t>(zlib.attr("adler32")(part));
    return out;
}

// The zlib stream of `data`: its second half deflated on a thread of its own while this thread
// deflates the first.
std::string zlib_stream(const std::uint8_t* data, std::size_t size) {
    const std::size_t half = size / 2;
    Deflated second;
    std::exception_ptr failed;
    std::thread worker([&] {
        try {
            nb::gil_scoped_acquire gil;
            second = deflate_part(data + half, size - half, true);
        } catch (const std::exception& e) {
            failed = std::make_exception_ptr(std::runtime_error(e.what()));  // no Python object leaves
        }
    });
    Deflated first;
    try {
        first = deflate_part(data, half, false);
    } catch (...) {
        nb::gil_scoped_release released;
        worker.join();
        throw;
    }
    {
        nb::gil_scoped_release released;
        worker.join();
    }
    if (failed)
        std::rethrow_exception(failed);
    std::string stream("\x78\x01", 2);  // deflate, 32 KiB window, fastest level
    stream += first.bytes;
    stream += second.bytes;
    put_u32(stream, png::adler32_combine(first.adler, second.adler, size - half));
    return stream;
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
    const auto* pixels = static_cast<const std::uint8_t*>(view.buf);

    std::string rows;
    bool rgb = false;
    {
        nb::gil_scoped_release released;
        rgb = png::all_opaque(pixels, height * width);
        rows.resize(height * png::row_bytes(width, rgb));
        png::pack_rows(pixels, height, width, rgb, reinterpret_cast<std::uint8_t*>(rows.data()));
    }
    const std::string deflated = zlib_stream(reinterpret_cast<const std::uint8_t*>(rows.data()), rows.size());

    nb::module_ zlib = nb::module_::import_("zlib");
    std::string header;
    put_u32(header, static_cast<std::uint32_t>(width));
    put_u32(header, static_cast<std::uint32_t>(height));
    // 8 bits per sample, RGB (2) or RGBA (6), deflate, no filter method set, no interlace
    header += std::string(rgb ? "\x08\x02" : "\x08\x06", 2) + std::string("\x00\x00\x00", 3);
    std::string png("\x89PNG\r\n\x1a\n", 8);
    put_chunk(png, "IHDR", header, zlib);
    put_chunk(png, "IDAT", deflated, zlib);
    put_chunk(png, "IEND", std::string(), zlib);
    nb::module_::import_("pathlib").attr("Path")(save_path).attr("write_bytes")(
        bytes_view(png.data(), png.size()));
}

}  // namespace vantorel::bridge::chart
