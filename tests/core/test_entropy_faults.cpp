// Faults of the operating-system entropy path, driven through scripted
// system calls: which path the probe picks, the /dev/random then
// /dev/urandom descriptor sequence and its failures, the fill loop on the
// descriptor, the error texts and the panics that carry them.
#include "core/entropy.hpp"
#include "core/random.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>

#include "core/outcome.hpp"

namespace {

using namespace mirabund_core::random;
using mirabund_core::Panic;

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// One scripted answer: the return value, the errno left behind, and how many
// bytes a fill writes (each fill writes its own byte value, so the buffer
// shows which call wrote what).
struct Answer {
    long result;
    int error = 0;
    std::size_t bytes = 0;
};

// Scripted calls. Every call is logged; an unscripted call fails the test.
// A mutex keeps the script whole when several threads enter at once.
struct Script {
    std::mutex mutex;
    Answer probe{0};
    int probes = 0;
    std::deque<Answer> getrandom, open, poll, read;
    bool read_fills_all = false;  // then read returns every byte asked for
    unsigned char next_byte = 0x10;
    std::vector<std::string> log;
    std::vector<std::size_t> fill_lengths;

    void reset() {
        probe = {0};
        probes = 0;
        getrandom.clear(), open.clear(), poll.clear(), read.clear();
        read_fills_all = false;
        next_byte = 0x10;
        log.clear();
        fill_lengths.clear();
    }
};
Script* script = nullptr;

Answer next_answer(std::deque<Answer>& queue, const char* what) {
    if (queue.empty()) {
        ADD_FAILURE() << "unscripted " << what;
        return Answer{-1, EIO};
    }
    const Answer a = queue.front();
    queue.pop_front();
    return a;
}

long fill(std::deque<Answer>& queue, const char* what, void* p, std::size_t n) {
    script->fill_lengths.push_back(n);
    const Answer a = next_answer(queue, what);
    std::memset(p, script->next_byte++, std::min(n, a.bytes));
    errno = a.error;
    return a.result;
}

long fake_getrandom(void* p, std::size_t n, unsigned flags) {
    std::lock_guard lock(script->mutex);
    if (n == 0) {
        script->log.push_back("probe flags=" + std::to_string(flags));
        ++script->probes;
        errno = script->probe.error;
        return script->probe.result;
    }
    return fill(script->getrandom, "getrandom", p, n);
}

int fake_open(const char* path, int flags) {
    std::lock_guard lock(script->mutex);
    const bool expected_flags = flags == (O_RDONLY | O_CLOEXEC);
    script->log.push_back(std::string("open ") + path + (expected_flags ? "" : " (bad flags)"));
    const Answer a = next_answer(script->open, "open");
    errno = a.error;
    return static_cast<int>(a.result);
}

int fake_poll(pollfd* fds, nfds_t count, int timeout) {
    {
        std::lock_guard lock(script->mutex);
        script->log.push_back("poll " + std::to_string(fds[0].fd) + " events=" + std::to_string(fds[0].events) +
                              " count=" + std::to_string(count) + " timeout=" + std::to_string(timeout));
        if (!script->poll.empty()) {
            const Answer a = next_answer(script->poll, "poll");
            errno = a.error;
            return static_cast<int>(a.result);
        }
    }
    // Unscripted polls succeed after a pause, so that racing threads pile
    // up behind the first opener.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 1;
}

ssize_t fake_read(int fd, void* p, std::size_t n) {
    std::lock_guard lock(script->mutex);
    script->log.push_back("read " + std::to_string(fd));
    if (script->read_fills_all) {
        std::memset(p, 0x5A, n);
        return static_cast<ssize_t>(n);
    }
    return fill(script->read, "read", p, n);
}

int fake_close(int fd) {
    std::lock_guard lock(script->mutex);
    script->log.push_back("close " + std::to_string(fd));
    return 0;
}

constexpr EntropyCalls fake_calls{fake_getrandom, fake_open, fake_poll, fake_read, fake_close};

// Descriptors the fake open hands out.
constexpr int random_fd = 10;
constexpr int urandom_fd = 11;

const std::vector<std::string> file_open_sequence{
    "probe flags=0",
    "open /dev/random",
    "poll 10 events=" + std::to_string(POLLIN) + " count=1 timeout=-1",
    "close 10",
    "open /dev/urandom",
};

class EntropyPath : public ::testing::Test {
protected:
    void SetUp() override {
        script = &script_;
        saved_ = replace_entropy_calls(fake_calls);
    }
    void TearDown() override {
        replace_entropy_calls(saved_);
        script = nullptr;
    }
    // The probe refuses the system call, so the descriptor path is taken.
    void use_file_path() { script_.probe = {-1, ENOSYS}; }

    EntropyError fill32() {
        std::array<std::byte, 32> buffer{};
        const EntropyError error = getrandom_inner(buffer);
        last_buffer_ = buffer;
        return error;
    }

    Script script_;
    std::array<std::byte, 32> last_buffer_{};
    EntropyCalls saved_{};
};

TEST_F(EntropyPath, ProbeDecidesPathOnceAndForAll) {
    struct Case { Answer probe; bool file; };
    const Case cases[] = {
        {{-1, ENOSYS}, true},
        {{-1, EPERM}, true},
        {{0, 0}, false},
        {{-1, EINVAL}, false},
        {{-1, EINTR}, false},
        {{-1, 0}, false},   // errno not positive: still usable
        {{-1, -7}, false},
        {{-2, ENOSYS}, false},  // only a -1 result carries an errno
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.probe.result) + " errno " + std::to_string(c.probe.error));
        replace_entropy_calls(fake_calls);
        script_.reset();
        script_.probe = c.probe;
        if (c.file) {
            script_.open = {{random_fd}, {urandom_fd}};
            script_.read_fills_all = true;
        } else {
            script_.getrandom = {{32, 0, 32}, {32, 0, 32}};
        }
        ASSERT_EQ(fill32(), entropy_ok);
        ASSERT_EQ(fill32(), entropy_ok);
        EXPECT_EQ(script_.probes, 1);
        EXPECT_EQ(script_.log.front(), "probe flags=0");
        if (c.file) {
            std::vector<std::string> expected = file_open_sequence;
            expected.push_back("read 11");
            expected.push_back("read 11");  // the descriptor is kept
            EXPECT_EQ(script_.log, expected);
        } else {
            EXPECT_EQ(script_.log, std::vector<std::string>{"probe flags=0"});
            EXPECT_TRUE(script_.getrandom.empty());
        }
    }
}

// Each fill gets the part of the buffer that is still empty, for both paths.
TEST_F(EntropyPath, ShortFillsContinueWhereTheyStopped) {
    for (const bool file : {false, true}) {
        SCOPED_TRACE(file ? "file" : "system call");
        replace_entropy_calls(fake_calls);
        script_.reset();
        const std::deque<Answer> steps{{5, 0, 5}, {-1, EINTR}, {-1, EINTR}, {1, 0, 1}, {26, 0, 26}};
        if (file) {
            use_file_path();
            script_.open = {{random_fd}, {urandom_fd}};
            script_.read = steps;
        } else {
            script_.getrandom = steps;
        }
        const unsigned char first = script_.next_byte;
        ASSERT_EQ(fill32(), entropy_ok);
        EXPECT_EQ(script_.fill_lengths, (std::vector<std::size_t>{32, 27, 27, 27, 26}));
        for (std::size_t i = 0; i < 32; ++i) {
            // Bytes of the first, fourth and fifth fills; the interrupted ones wrote nothing.
            const unsigned char expected = i < 5 ? first : i < 6 ? first + 3 : first + 4;
            EXPECT_EQ(last_buffer_[i], std::byte{expected}) << i;
        }
    }
}

TEST_F(EntropyPath, ImpossibleReadResults) {
    struct Case { std::deque<Answer> read; EntropyError expected; };
    const Case cases[] = {
        {{{0}}, unexpected_result},
        {{{-2}}, unexpected_result},
        {{{std::numeric_limits<long>::min()}}, unexpected_result},
        {{{33, 0, 32}}, unexpected_result},
        {{{16, 0, 16}, {17, 0, 16}}, unexpected_result},  // more than what is left
        {{{-1, 0}}, errno_not_positive},
        {{{-1, -4}}, errno_not_positive},
        {{{8, 0, 8}, {-1, EAGAIN}}, static_cast<EntropyError>(EAGAIN)},
    };
    for (const Case& c : cases) {
        replace_entropy_calls(fake_calls);
        script_.reset();
        use_file_path();
        script_.open = {{random_fd}, {urandom_fd}};
        script_.read = c.read;
        EXPECT_EQ(fill32(), c.expected) << "first result " << c.read.front().result;
        EXPECT_TRUE(script_.read.empty());
    }
}

// Faults while the descriptor is being opened. Every failure leaves no
// descriptor behind, so the next call starts the sequence again.
TEST_F(EntropyPath, OpenAndPollFaults) {
    const std::string poll10 = file_open_sequence[2];
    struct Case {
        const char* name;
        std::deque<Answer> open, poll;
        EntropyError expected;
        std::vector<std::string> log;  // after the probe
    };
    const Case cases[] = {
        {"open retried on EINTR", {{-1, EINTR}, {-1, EINTR}, {random_fd}, {-1, EINTR}, {urandom_fd}}, {}, entropy_ok,
         {"open /dev/random", "open /dev/random", "open /dev/random", poll10, "close 10", "open /dev/urandom",
          "open /dev/urandom", "read 11"}},
        {"poll retried on EINTR and EAGAIN", {{random_fd}, {urandom_fd}}, {{-1, EINTR}, {-1, EAGAIN}, {-1, EINTR}, {1}},
         entropy_ok,
         {"open /dev/random", poll10, poll10, poll10, poll10, "close 10", "open /dev/urandom", "read 11"}},
        {"/dev/random cannot be opened", {{-1, EACCES}}, {}, static_cast<EntropyError>(EACCES),
         {"open /dev/random"}},
        {"open fails without errno", {{-1, 0}}, {}, errno_not_positive, {"open /dev/random"}},
        {"poll fails", {{random_fd}}, {{-1, EIO}}, static_cast<EntropyError>(EIO),
         {"open /dev/random", poll10, "close 10"}},
        {"poll fails without errno", {{random_fd}}, {{-1, -1}}, errno_not_positive,
         {"open /dev/random", poll10, "close 10"}},
        {"/dev/urandom cannot be opened", {{random_fd}, {-1, ENOENT}}, {}, static_cast<EntropyError>(ENOENT),
         {"open /dev/random", poll10, "close 10", "open /dev/urandom"}},
        {"/dev/urandom fails without errno", {{random_fd}, {-1, -2}}, {}, errno_not_positive,
         {"open /dev/random", poll10, "close 10", "open /dev/urandom"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        replace_entropy_calls(fake_calls);
        script_.reset();
        use_file_path();
        script_.open = c.open;
        script_.poll = c.poll;
        script_.read_fills_all = true;
        EXPECT_EQ(fill32(), c.expected);
        std::vector<std::string> expected{"probe flags=0"};
        expected.insert(expected.end(), c.log.begin(), c.log.end());
        EXPECT_EQ(script_.log, expected);
        EXPECT_TRUE(script_.open.empty());
        EXPECT_TRUE(script_.poll.empty());

        if (c.expected != entropy_ok) {
            // Nothing was stored: the next call opens afresh and succeeds.
            script_.log.clear();
            script_.open = {{random_fd}, {urandom_fd}};
            EXPECT_EQ(fill32(), entropy_ok);
            std::vector<std::string> again(file_open_sequence.begin() + 1, file_open_sequence.end());
            again.push_back("read 11");
            EXPECT_EQ(script_.log, again);
        }
    }
}

// Many threads asking at once open one descriptor between them.
TEST_F(EntropyPath, ConcurrentCallersOpenOneDescriptor) {
    use_file_path();
    script_.open = {{random_fd}, {urandom_fd}};
    script_.read_fills_all = true;
    constexpr int threads = 8;
    std::atomic<int> failures{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&failures] {
            std::array<std::byte, 32> buffer{};
            if (getrandom_inner(buffer) != entropy_ok) ++failures;
        });
    }
    for (std::thread& t : pool) t.join();
    EXPECT_EQ(failures.load(), 0);
    int opens = 0;
    int reads = 0;
    for (const std::string& entry : script_.log) {
        opens += entry.starts_with("open ");
        reads += entry == "read 11";
    }
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(reads, threads);
}

TEST_F(EntropyPath, FromEntropyKeysFromTheFilledBytes) {
    script_.getrandom = {{32, 0, 32}};
    const unsigned char byte = script_.next_byte;
    const RandomSource source = from_entropy();
    std::array<std::uint8_t, 32> key;
    key.fill(byte);
    const std::array<std::uint8_t, 8> nonce{};
    EXPECT_EQ(source.core(), init_chacha(key, nonce));
    EXPECT_EQ(source.read_position(), buffer_words);
    EXPECT_EQ(source.buffer(), OutputBuffer{});
}

TEST_F(EntropyPath, FromEntropyPanicTexts) {
    struct Case { bool file; std::deque<Answer> getrandom, open; std::string message; };
    const Case cases[] = {
        {false, {{0}}, {}, "from_entropy failed: unexpected situation"},
        {false, {{-1, 0}}, {}, "from_entropy failed: errno: did not return a positive value"},
        {false, {{-1, ENOMEM}}, {}, std::string("from_entropy failed: ") + std::strerror(ENOMEM)},
        {true, {}, {{-1, EACCES}}, "from_entropy failed: Permission denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        replace_entropy_calls(fake_calls);
        script_.reset();
        if (c.file) use_file_path();
        script_.getrandom = c.getrandom;
        script_.open = c.open;
        try {
            from_entropy();
            ADD_FAILURE() << "no panic";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message, c.message);
        }
    }
}

TEST(EntropyErrorText, ErrorNumbersUseTheSystemText) {
    // Every number the C library knows reads as its own text.
    // Numbers without a text of their own (gaps in the table) fall back to
    // the number.
    for (int e = 1; e <= 133; ++e) {
        const std::string system_text = std::strerror(e);
        const std::string expected =
            system_text.starts_with("Unknown error") ? "OS Error: " + std::to_string(e) : system_text;
        EXPECT_EQ(display_text(static_cast<EntropyError>(e)), expected) << e;
    }
    EXPECT_EQ(display_text(static_cast<EntropyError>(EIO)), "Input/output error");
    // Numbers it does not know fall back to the number.
    for (const EntropyError e : {4096u, 1000000u, 0x7FFFFFFEu})
        EXPECT_EQ(display_text(e), "OS Error: " + std::to_string(e));
}

TEST(EntropyAndRangeFaults, GenRangeEmptyPanicsBeforeDrawing) {
    struct Case { std::uint64_t low, high; };
    const Case cases[] = {{1, 0}, {u64_max, 0}, {u64_max, u64_max - 1}, {1000, 999}};
    for (const Case& c : cases) {
        RandomSource source = seed_from_u64(9);
        RandomSource mirror = seed_from_u64(9);
        try {
            gen_range(source, c.low, c.high);
            ADD_FAILURE() << "no panic for " << c.low << ", " << c.high;
        } catch (const Panic& p) {
            EXPECT_EQ(p.message, "cannot sample empty range");
        }
        EXPECT_EQ(next_u64(source), next_u64(mirror));
    }
}

}  // namespace
