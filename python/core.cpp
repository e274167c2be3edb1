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
#include "platform.hpp"
#include "single.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
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

// The values of a Curves live in a vector that a capsule of this name
// owns; every array over them has that capsule as its base.
constexpr const char* store_name = "curvedump.store";

using StoreVector = std::vector<std::uint32_t>;

void free_store(PyObject* capsule)
{
    delete static_cast<StoreVector*>(PyCapsule_GetPointer(capsule, store_name));
}

// A float32 array of `count` values from `start` over the store's memory,
// its base the capsule itself.
py::array_t<float> store_array(const py::capsule& owner, std::size_t start, std::size_t count)
{
    auto* const values = static_cast<StoreVector*>(PyCapsule_GetPointer(owner.ptr(), store_name));
    auto* data = reinterpret_cast<float*>(values->data()) + start;
    return {
        {static_cast<py::ssize_t>(count)}, {static_cast<py::ssize_t>(sizeof(float))}, data, owner};
}

// A float32 array over the bit patterns in `bits`, which a capsule takes
// over without copying them: the array's base is the capsule, numpy does
// not own the data (so resize refuses) and nothing reachable from Python
// can free it while an array over it lives. No conversion touches a NaN's
// bits.
py::array_t<float> owned_store(StoreVector&& bits)
{
    const std::size_t count = bits.size();
    if (bits.empty()) // numpy allocates memory of its own for a null pointer
        bits.push_back(0);
    auto owned = std::make_unique<StoreVector>(std::move(bits));
    const py::capsule owner(owned.get(), store_name, &free_store);
    static_cast<void>(owned.release()); // the capsule owns it now
    return store_array(owner, 0, count);
}

// The values from start to stop of a store's capsule, as an array whose
// base is the capsule, not the store array: the series a Curves hands out
// stay over memory that nothing but their own lifetime can free, whatever
// is done to the store array. TypeError for another object, IndexError for
// a range outside the store.
py::array_t<float> store_view(const py::object& store, std::size_t start, std::size_t stop)
{
    if (PyCapsule_IsValid(store.ptr(), store_name) == 0)
        throw py::type_error("a store of curvedump values expected");
    const auto owner = py::reinterpret_borrow<py::capsule>(store);
    const auto* values = static_cast<StoreVector*>(PyCapsule_GetPointer(owner.ptr(), store_name));
    if (start > stop || stop > values->size())
        throw py::index_error("values outside the store");
    return store_array(owner, start, stop - start);
}

// A store from the little-endian float32 bytes of a pickle.
py::array_t<float> store_from_bytes(const py::bytes& data)
{
    const auto bytes = data.cast<std::string>();
    if (bytes.size() % 4 != 0)
        throw py::value_error("a whole number of float32 values expected");
    std::vector<std::uint32_t> bits(bytes.size() / 4);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data()) + 4 * i;
        bits[i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                  std::uint32_t{b[3]} << 24;
    }
    return owned_store(std::move(bits));
}

// What reading a file or bytes gives, for __init__.py. error: errno's
// value when the file cannot be opened or read (the rest is then empty).
// values: both series' values as one store, or None for a refusal.
// console: the console text up to the refusal's message, made only for a
// refusal, so that reading costs the decoding and scaling alone.
struct FileResult {
    int error = 0;
    int status = curvedump::status_ok;
    py::tuple fields;
    std::size_t file_size = 0;
    int past_end = 0;
    py::object values = py::none();
    py::object console = py::none();
};

FileResult decoded_result(curvedump::Decoded&& d)
{
    FileResult result;
    result.status = d.status;
    result.fields = descriptor_fields(d);
    result.file_size = d.file_size;
    if (d.status != curvedump::status_ok) {
        result.console = console_str(curvedump::console_lines(d));
        return result;
    }
    result.past_end = curvedump::series_past_end(d);
    result.values = owned_store(std::move(d.values));
    return result;
}

// Whether a signal handler of Python's raised (KeyboardInterrupt for
// SIGINT): asked from a thread that has let the lock go, so that Ctrl-C
// ends a read that waits on a stream. The exception stays set for the
// caller to throw.
bool python_interrupted()
{
    const py::gil_scoped_acquire locked;
    return PyErr_CheckSignals() != 0;
}

// Throws the exception python_interrupted found, if a read ended for it.
void throw_if_interrupted(int error)
{
    if (error == EINTR && PyErr_Occurred() != nullptr)
        throw py::error_already_set();
}

FileResult decode_file(const py::bytes& name)
{
    const std::string path = checked_name(name);
    int error = 0;
    curvedump::Decoded decoded;
    {
        const py::gil_scoped_release unlocked;
        curvedump::ReadStop stop;
        stop.interrupted = python_interrupted;
        decoded = curvedump::decode_file(path, error, curvedump::Scaling::binary64_first, &stop);
    }
    throw_if_interrupted(error);
    if (error != 0) {
        FileResult failed;
        failed.error = error;
        return failed;
    }
    return decoded_result(std::move(decoded));
}

// Whether a buffer's items are plain bytes: a format of one of the
// struct module's single-byte codes, with or without a byte-order mark.
bool plain_bytes(const std::string& format)
{
    const std::string_view code =
        format.size() == 2 && std::string_view("@=<>!").find(format[0]) != std::string_view::npos
            ? std::string_view(format).substr(1)
            : std::string_view(format);
    return code == "B" || code == "b" || code == "c" || code == "?";
}

// Any bytes-like object of single plain bytes, however laid out (every
// other byte, reversed), as decoded_result gives it.
FileResult decode_bytes(const py::object& data)
{
    if (PyObject_CheckBuffer(data.ptr()) == 0) {
        const auto type = py::type::handle_of(data).attr("__name__").cast<std::string>();
        throw py::type_error("read_bytes takes a bytes-like object, not " + type);
    }
    const py::buffer_info info = py::reinterpret_borrow<py::buffer>(data).request();
    if (info.ndim != 1 || info.itemsize != 1 || !plain_bytes(info.format))
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
    return decoded_result(std::move(decoded));
}

// What a conversion gives: its status and console text, errno's value for
// an input that could not be read and for an output that could not be
// written, and series_past_end of the file.
struct ConvertResult {
    int status = 0;
    py::str console;
    int input_error = 0;
    int output_error = 0;
    int past_end = 0;
};

ConvertResult convert_path(const py::bytes& name)
{
    const std::string path = checked_name(name);
    std::string console;
    curvedump::ConvertReport report;
    int status = 0;
    {
        const py::gil_scoped_release unlocked;
        curvedump::ReadStop stop;
        stop.interrupted = python_interrupted;
        report.stop = &stop;
        status = curvedump::convert_file(
            path, [&console](std::string_view text) { console.append(text); }, &report);
    }
    throw_if_interrupted(report.input_error);
    return {status, console_str(console), report.input_error, report.output_error, report.past_end};
}

// --- Many files at once: the columns of read_frame ---------------------------

// One file as read_files reads it: the figures of its report row. Its
// values go into the columns as soon as every file before it is in, and
// are then let go, so that the values of all the files are never held
// twice.
struct FileRead {
    int error = 0; // errno's value when it cannot be opened or read
    curvedump::Decoded decoded;
    int past_end = 0;
    bool included = false; // its rows go into the columns
    std::size_t rows = 0;  // the shorter series' count, when included
};

// The allocator of read_frame's columns. A large column starts on a huge
// page's boundary, and the system is asked to back it with huge pages:
// faulting its pages in one at a time is most of what filling the columns
// costs. Values are left as they are when a column grows (resize writes
// no zeros), since the reads write every one of them.
template <typename T> struct ColumnAllocator {
    using value_type = T;
    ColumnAllocator() = default;
    template <typename U> explicit ColumnAllocator(const ColumnAllocator<U>& /*other*/) noexcept {}
    static bool large(std::size_t bytes) { return bytes >= curvedump::huge_page_size; }
    static std::size_t rounded(std::size_t bytes)
    {
        return (bytes + curvedump::huge_page_size - 1) / curvedump::huge_page_size *
               curvedump::huge_page_size;
    }
    T* allocate(std::size_t count)
    {
        if (count >
            (std::numeric_limits<std::size_t>::max() - curvedump::huge_page_size) / sizeof(T))
            throw std::bad_array_new_length();
        const std::size_t bytes = count * sizeof(T);
        if (!large(bytes))
            return static_cast<T*>(::operator new(bytes));
        void* const block =
            ::operator new (rounded(bytes), std::align_val_t{curvedump::huge_page_size});
        curvedump::advise_huge_pages(block, rounded(bytes));
        return static_cast<T*>(block);
    }
    void deallocate(T* values, std::size_t count) noexcept
    {
        if (large(count * sizeof(T))) {
            ::operator delete (values, std::align_val_t{curvedump::huge_page_size});
        } else {
            ::operator delete(values);
        }
    }
    template <typename U> void construct(U* at) noexcept { ::new (static_cast<void*>(at)) U; }
    template <typename U, typename... Args> void construct(U* at, Args&&... args)
    {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
    template <typename U> bool operator==(const ColumnAllocator<U>& /*other*/) const noexcept
    {
        return true;
    }
};
template <typename T> using Column = std::vector<T, ColumnAllocator<T>>;

// The series columns as they grow, file after file in the order of the
// paths.
struct Growing {
    Column<float> series1;
    Column<float> series2;
    Column<std::int32_t> row;      // the row's number in its file
    Column<std::int64_t> position; // of the row's path, from first_position
    std::int64_t first_position = 0;
    std::size_t files = 0;       // to be taken in, in all
    std::size_t files_taken = 0; // so far
};

// Takes the read file's rows into the columns (when it is included) and
// lets its values go.
void take_in(FileRead& read, bool include_short, Growing& columns)
{
    curvedump::Decoded& d = read.decoded;
    if (read.error == 0 && d.status == curvedump::status_ok) {
        read.past_end = curvedump::series_past_end(d);
        read.included = read.past_end == 0 || include_short;
        if (read.included) {
            read.rows = static_cast<std::size_t>(std::min(d.series1.count, d.series2.count));
            const std::size_t at = columns.series1.size();
            if (at + read.rows > columns.series1.capacity()) {
                // Room for as many rows a file as so far, for every file,
                // so that the columns are seldom moved.
                const std::size_t seen = std::max<std::size_t>(columns.files_taken, 1);
                const std::size_t guess = (at + read.rows) / seen * columns.files + read.rows;
                const std::size_t room = std::max(guess, 2 * columns.series1.capacity());
                columns.series1.reserve(room);
                columns.series2.reserve(room);
                columns.row.reserve(room);
                columns.position.reserve(room);
            }
            columns.series1.resize(at + read.rows);
            columns.series2.resize(at + read.rows);
            columns.row.resize(at + read.rows);
            columns.position.resize(at + read.rows);
            for (std::size_t r = 0; r < read.rows; ++r)
                columns.row[at + r] = static_cast<std::int32_t>(r);
            std::fill_n(columns.position.data() + at, read.rows,
                        columns.first_position + static_cast<std::int64_t>(columns.files_taken));
            const std::uint32_t* values = d.values.data();
            const auto count1 = static_cast<std::size_t>(d.series1.count);
            std::memcpy(columns.series1.data() + at, values, read.rows * sizeof(float));
            std::memcpy(columns.series2.data() + at, values + count1, read.rows * sizeof(float));
        }
    }
    std::vector<std::uint32_t>().swap(d.values);
    ++columns.files_taken;
}

// How often the calling thread asks Python whether a signal came while
// the files are read: Ctrl-C then ends the call within this, and the
// readers soon after.
constexpr auto signal_interval = std::chrono::milliseconds(20);

// Reads every path on the calling thread, taking each file in as it
// comes; asks Python for signals every signal_interval, and while a read
// waits on a stream. False when a signal's handler raised (its exception
// is set).
bool read_here(const std::vector<const char*>& paths, std::vector<FileRead>& reads,
               bool include_short, Growing& columns)
{
    curvedump::ReadStop stop;
    stop.interrupted = python_interrupted;
    curvedump::ReadBuffer buffer;
    auto asked = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        reads[i].decoded = curvedump::decode_file(
            paths[i], reads[i].error, curvedump::Scaling::binary64_first, &stop, &buffer);
        if (reads[i].error == EINTR && stop.stopped)
            return false;
        take_in(reads[i], include_short, columns);
        if (i % 64 != 63)
            continue;
        const auto now = std::chrono::steady_clock::now();
        if (now - asked >= signal_interval) {
            asked = now;
            if (python_interrupted())
                return false;
        }
    }
    return true;
}

// How far past the files taken in the readers may go: their values wait
// to be taken in, and readers that are that far ahead wait too, so that
// the calling thread has a processor to take the files in and to see a
// signal.
constexpr std::size_t reading_window = 4096;

// A read this long waited on the storage (a warm local file takes a few
// microseconds; a network or FUSE mount, or a cold disk, a hundred or
// more). When a quarter of the reads so far waited, every reader the bound
// allows is started, so that that many requests wait at once; until then
// two readers a processor (first_readers), since more would only take
// turns on the processors (a reader the system pauses for another now and
// then is no sign of a waiting storage).
constexpr auto waited_read = std::chrono::microseconds(100);

bool storage_waits(std::size_t waited, std::size_t reads)
{
    return waited >= 4 && waited * 4 >= reads;
}

std::size_t first_readers() { return std::max(4U, 2 * std::thread::hardware_concurrency()); }

// Reads every path on `threads` threads of its own, each taking the next
// path in turn, so that that many reads are in flight (what hides the
// latency of a network or FUSE mount), at most reading_window files past
// the ones taken in. The calling thread takes the files in, in order, as
// they are done, and asks Python for signals every signal_interval: when
// a handler raises, it stops the readers (a reader waiting on a stream is
// woken), joins them, and returns false with the exception set. Every
// descriptor is closed by then. The first exception of a reader (memory
// running out) is thrown again here.
bool read_on_threads(const std::vector<const char*>& paths, std::vector<FileRead>& reads,
                     std::size_t threads, bool include_short, Growing& columns)
{
    const std::size_t count = paths.size();
    std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[count]);
    for (std::size_t i = 0; i < count; ++i)
        done[i].store(false, std::memory_order_relaxed);
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    std::atomic<std::size_t> taken{0};
    std::atomic<std::size_t> waiting{0}; // readers waiting for the window
    std::atomic<bool> failed{false};
    std::atomic<std::size_t> waited_reads{0}; // that took waited_read or longer
    std::mutex mutex;
    std::condition_variable progress; // for the calling thread
    std::condition_variable window;   // for the readers
    curvedump::ReadStop stop;
    if (curvedump::make_wake_up(stop) != 0)
        throw std::bad_alloc(); // no descriptor left for the wake-up
    std::vector<std::exception_ptr> failures(threads);
    const auto wake_collector = [&] {
        const std::lock_guard<std::mutex> held(mutex);
        progress.notify_one();
    };
    const auto wait_for_window = [&](std::size_t i) {
        if (i < taken.load(std::memory_order_acquire) + reading_window)
            return;
        std::unique_lock<std::mutex> held(mutex);
        ++waiting;
        progress.notify_one(); // the calling thread has files to take in
        window.wait(held, [&] { return i < taken + reading_window || stop.stopped; });
        --waiting;
    };
    const auto work = [&](std::size_t worker) {
        try {
            curvedump::ReadBuffer buffer;
            for (std::size_t i = next++; i < count; i = next++) {
                wait_for_window(i);
                if (stop.stopped)
                    break;
                const auto began = std::chrono::steady_clock::now();
                reads[i].decoded = curvedump::decode_file(
                    paths[i], reads[i].error, curvedump::Scaling::binary64_first, &stop, &buffer);
                if (std::chrono::steady_clock::now() - began >= waited_read)
                    waited_reads.fetch_add(1, std::memory_order_relaxed);
                done[i].store(true, std::memory_order_release);
                if (finished.fetch_add(1) + 1 == count)
                    wake_collector();
            }
        } catch (...) {
            failures[worker] = std::current_exception();
            failed = true;
            curvedump::stop_readers(stop);
            wake_collector();
        }
    };
    const auto stop_all = [&] {
        curvedump::stop_readers(stop);
        const std::lock_guard<std::mutex> held(mutex);
        window.notify_all();
    };
    bool interrupted = false;
    {
        // Joined however this block ends; a thread the system cannot
        // start leaves its share to the others, and with none started the
        // calling thread reads.
        struct Pool {
            std::vector<std::thread> threads;
            const std::function<void()>& stop_all;
            ~Pool()
            {
                stop_all(); // for a way out by an exception
                for (auto& thread : threads)
                    thread.join();
            }
        };
        const std::function<void()> stopping = stop_all;
        Pool pool{{}, stopping};
        // Two readers a processor at first (while one is in the system,
        // the other decodes); all of them once the reads show that the
        // storage makes them wait.
        const auto start_readers = [&](std::size_t wanted) {
            try {
                while (pool.threads.size() < wanted)
                    pool.threads.emplace_back(work, pool.threads.size());
            } catch (const std::system_error&) {
            }
        };
        start_readers(std::min(threads, first_readers()));
        if (pool.threads.empty())
            return read_here(paths, reads, include_short, columns);
        std::size_t in = 0;
        auto asked = std::chrono::steady_clock::now();
        while (in < count && !failed) {
            // At most a few hundred files at a time, so that signals are
            // asked for however far ahead the readers are.
            const std::size_t stop_at = std::min(count, in + 256);
            while (in < stop_at && done[in].load(std::memory_order_acquire))
                take_in(reads[in++], include_short, columns);
            taken = in; // sequentially consistent with `waiting`, as the readers count it
            if (waiting > 0) {
                const std::lock_guard<std::mutex> held(mutex);
                window.notify_all();
            }
            if (in == count)
                break;
            if (in < stop_at) {
                std::unique_lock<std::mutex> held(mutex);
                // Woken early by the last file, a failure, or a reader
                // that waits for the window while the next file is done.
                progress.wait_for(held, std::chrono::milliseconds(2), [&] {
                    return finished == count || failed ||
                           (waiting > 0 && done[in].load(std::memory_order_acquire));
                });
            }
            if (pool.threads.size() < threads && storage_waits(waited_reads, finished))
                start_readers(threads);
            const auto now = std::chrono::steady_clock::now();
            if (now - asked >= signal_interval) {
                asked = now;
                if (python_interrupted()) {
                    interrupted = true;
                    break;
                }
            }
        }
    }
    for (const auto& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
    return !interrupted;
}

// The columns' values in a vector that a capsule owns, as an array over
// them without a copy.
template <typename T> py::array_t<T> owned_column(Column<T>&& values)
{
    const std::size_t count = values.size();
    if (values.empty()) // numpy allocates memory of its own for a null pointer
        values.reserve(1);
    auto owned = std::make_unique<Column<T>>(std::move(values));
    T* const data = owned->data();
    const py::capsule owner(owned.get(),
                            [](void* vector) { delete static_cast<Column<T>*>(vector); });
    static_cast<void>(owned.release()); // the capsule owns it now
    return {{static_cast<py::ssize_t>(count)}, {static_cast<py::ssize_t>(sizeof(T))}, data, owner};
}

// The columns of read_frame and the report's figures. file_codes[i] is the
// category code of paths[i]. Per row: file (the code of its path), row,
// series1, series2. Per path: error, status, past_end, count1, count2,
// file_size (-1 where the file was not read whole) and included; consoles
// maps the index of each refused path to the tool's console text for it.
struct FrameResult {
    py::array file; // in the file codes' integer type

    py::array_t<std::int32_t> row;
    py::array_t<std::int64_t> position; // of the row's path, from first_position
    py::array_t<float> series1;
    py::array_t<float> series2;
    py::array_t<std::int32_t> error;
    py::array_t<std::int8_t> status;
    py::array_t<std::int8_t> past_end;
    py::array_t<std::int32_t> count1;
    py::array_t<std::int32_t> count2;
    py::array_t<std::int64_t> file_size;
    py::array_t<bool> included;
    py::dict consoles;
};

// The file column: each included file's code once for each of its rows,
// in the codes' own integer type.
template <typename Code>
py::array file_column(const py::array& file_codes, const std::vector<FileRead>& reads,
                      std::size_t rows)
{
    const auto codes = py::array_t<Code, py::array::c_style>::ensure(file_codes);
    if (!codes)
        throw py::type_error("file codes: an integer array expected");
    Column<Code> file(rows);
    {
        const Code* code = codes.data();
        const py::gil_scoped_release unlocked;
        Code* at = file.data();
        for (std::size_t i = 0; i < reads.size(); ++i)
            at = std::fill_n(at, reads[i].rows, code[i]);
    }
    return owned_column(std::move(file));
}

FrameResult read_files(const py::list& names, const py::array& file_codes, std::size_t threads,
                       bool include_short, std::int64_t first_position)
{
    if (file_codes.ndim() != 1 || static_cast<std::size_t>(file_codes.size()) != names.size())
        throw py::value_error("one file code per name expected");
    const auto kind = file_codes.dtype().kind();
    const auto code_size = file_codes.itemsize();
    if (kind != 'i' || (code_size != 1 && code_size != 2 && code_size != 4))
        throw py::type_error("file codes: int8, int16 or int32 expected");
    // The names' own bytes, NUL-terminated, kept alive by a tuple of them
    // whatever becomes of the list while the lock is let go.
    const py::tuple held(names);
    std::vector<const char*> paths;
    paths.reserve(held.size());
    for (const py::handle name : held) {
        if (!PyBytes_Check(name.ptr()))
            throw py::type_error("names are bytes");
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(name.ptr()));
        const char* const bytes = PyBytes_AS_STRING(name.ptr());
        if (std::memchr(bytes, '\0', size) != nullptr)
            throw py::value_error("embedded null byte");
        paths.push_back(bytes);
    }
    std::vector<FileRead> reads(paths.size());
    Growing columns;
    columns.files = paths.size();
    columns.first_position = first_position;
    bool whole = true;
    {
        const py::gil_scoped_release unlocked;
        const std::size_t readers = std::min(threads, paths.size());
        whole = readers <= 1 ? read_here(paths, reads, include_short, columns)
                             : read_on_threads(paths, reads, readers, include_short, columns);
    }
    if (!whole)
        throw py::error_already_set();
    const std::size_t rows = columns.row.size();
    const auto path_count = static_cast<py::ssize_t>(reads.size());
    FrameResult out{code_size == 1   ? file_column<std::int8_t>(file_codes, reads, rows)
                    : code_size == 2 ? file_column<std::int16_t>(file_codes, reads, rows)
                                     : file_column<std::int32_t>(file_codes, reads, rows),
                    owned_column(std::move(columns.row)),
                    owned_column(std::move(columns.position)),
                    owned_column(std::move(columns.series1)),
                    owned_column(std::move(columns.series2)),
                    py::array_t<std::int32_t>(path_count),
                    py::array_t<std::int8_t>(path_count),
                    py::array_t<std::int8_t>(path_count),
                    py::array_t<std::int32_t>(path_count),
                    py::array_t<std::int32_t>(path_count),
                    py::array_t<std::int64_t>(path_count),
                    py::array_t<bool>(path_count),
                    py::dict()};
    // Each column written through its pointer: the arrays are new, one
    // value a path.
    auto* const error = out.error.mutable_data();
    auto* const status = out.status.mutable_data();
    auto* const past_end = out.past_end.mutable_data();
    auto* const count1 = out.count1.mutable_data();
    auto* const count2 = out.count2.mutable_data();
    auto* const file_size = out.file_size.mutable_data();
    auto* const included = out.included.mutable_data();
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const FileRead& read = reads[i];
        const curvedump::Decoded& d = read.decoded;
        const bool refused = read.error == 0 && d.status != curvedump::status_ok;
        // A file too large is not read whole, and one not read has no size.
        const bool sized = read.error == 0 && d.status != curvedump::status_too_large;
        error[i] = read.error;
        status[i] = static_cast<std::int8_t>(read.error != 0 ? curvedump::status_input : d.status);
        past_end[i] = static_cast<std::int8_t>(read.past_end);
        count1[i] = d.series1.count;
        count2[i] = d.series2.count;
        file_size[i] = sized ? static_cast<std::int64_t>(d.file_size) : -1;
        included[i] = read.included;
        if (refused)
            out.consoles[py::int_(i)] = console_str(curvedump::console_lines(d));
    }
    return out;
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
    py::class_<FileResult>(m, "FileResult")
        .def_readonly("error", &FileResult::error)
        .def_readonly("status", &FileResult::status)
        .def_readonly("fields", &FileResult::fields)
        .def_readonly("file_size", &FileResult::file_size)
        .def_readonly("past_end", &FileResult::past_end)
        .def_readonly("values", &FileResult::values)
        .def_readonly("console", &FileResult::console);
    py::class_<ConvertResult>(m, "ConvertResult")
        .def_readonly("status", &ConvertResult::status)
        .def_readonly("console", &ConvertResult::console)
        .def_readonly("input_error", &ConvertResult::input_error)
        .def_readonly("output_error", &ConvertResult::output_error)
        .def_readonly("past_end", &ConvertResult::past_end);
    py::class_<FrameResult>(m, "FrameResult")
        .def_readonly("file", &FrameResult::file)
        .def_readonly("row", &FrameResult::row)
        .def_readonly("position", &FrameResult::position)
        .def_readonly("series1", &FrameResult::series1)
        .def_readonly("series2", &FrameResult::series2)
        .def_readonly("error", &FrameResult::error)
        .def_readonly("status", &FrameResult::status)
        .def_readonly("past_end", &FrameResult::past_end)
        .def_readonly("count1", &FrameResult::count1)
        .def_readonly("count2", &FrameResult::count2)
        .def_readonly("file_size", &FrameResult::file_size)
        .def_readonly("included", &FrameResult::included)
        .def_readonly("consoles", &FrameResult::consoles);
    m.def("decode_file", &decode_file, py::arg("name"));
    m.def("decode_bytes", &decode_bytes, py::arg("data"));
    m.def("read_files", &read_files, py::arg("names"), py::arg("file_codes"), py::arg("threads"),
          py::arg("include_short"), py::arg("first_position") = 0);
    m.def("store", &store_from_bytes, py::arg("data"));
    m.def("store_view", &store_view, py::arg("store"), py::arg("start"), py::arg("stop"));
    m.def("convert", &convert_path, py::arg("name"));
    m.def("console", &console, py::arg("fields"));
    m.def("descriptors_fit", &descriptors_fit, py::arg("fields"));
    m.def("past_end", &past_end, py::arg("fields"), py::arg("file_size"));
    m.def("text", &text, py::arg("series1"), py::arg("series2"));
    m.def("to_double", &curvedump::single::to_double, py::arg("bits"));
}
