// The virtual port's writes and their history: a latch shared by processes,
// safe under concurrent writers and setters, each write kept whole with its
// writer and device, and followed in order or counted.
#include "backends.h"
#include "vport_support.h"

#include <iostream>
#include <sched.h>

using namespace vport_support;

namespace {

// A writer that stalled between taking its number and writing its record
// must not overwrite the newer records of the others.
TEST_F(VirtualPort, ConcurrentWritersLoseNoWriteTearNoRecordAndLateOnesOverwriteNothing)
{
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    const uint64_t late = vport::take_number(port.state);
    const int each = 40000; // together more than the history keeps
    pid_t a = writes_of(each, [](uint64_t) -> short { return 0x11; }),
          b = writes_of(each, [](uint64_t) -> short { return 0x22; });
    EXPECT_EQ(exit_status(a), 0);
    EXPECT_EQ(exit_status(b), 0);
    vport::write_numbered(port.state, late, vport::data, 0x33);
    std::vector<vport::Write> writes(vport::history_length);
    ASSERT_EQ(vport::recent_writes(port.state, writes.data(), writes.size()), writes.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].number, 2u * each - writes.size() + 2 + i);
        // Whole records: each value with the process that wrote it.
        EXPECT_EQ(writes[i].pid, static_cast<uint32_t>(writes[i].value == 0x11 ? a : b));
    }
    // The latch holds the value of the last write; the file keeps its size.
    EXPECT_EQ(vport::read(port.state, vport::data), writes.back().value);
    EXPECT_EQ(read_file(state_file).size(), sizeof(vport::State));
}

// Two watchers, each switching its own input many times at once: no change
// undoes another's, and each shows in the history as a change of one bit.
TEST_F(VirtualPort, TwoWatchersSwitchingTheirOwnInputsAtOnceLoseNoChange)
{
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    // Until each has seen the other's input change often, as the two may
    // not run at once on a busy machine; all kept in the history.
    const int least = 2000, most = vport::history_length / 2 - 100;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    auto watcher = [&](int pin, int other_pin) {
        return forked([&] {
            watch::Port *mine = nullptr;
            bool ok = watch::open_to_set(0x3BC, &mine, why, sizeof why) == watch::opened;
            close(go[1]);
            ok = ok && read(go[0], why, 1) == 0; // both start at once
            const watch::Pin &input = *watch::input_at(pin), &other = *watch::input_at(other_pin);
            bool other_was = true;
            int seen = 0;
            for (int i = 0; ok && i < most && (i < least || seen < least); ++i) {
                const uint8_t value = watch::read(mine, watch::status);
                seen += watch::pin_high(other, value) != other_was;
                other_was = watch::pin_high(other, value);
                ok = watch::set_input(mine, input, !watch::pin_high(input, value), why, sizeof why);
            }
            return ok;
        });
    };
    pid_t a = watcher(15, 13), b = watcher(13, 15);
    close(go[0]);
    close(go[1]);
    EXPECT_EQ(exit_status(a), 0);
    EXPECT_EQ(exit_status(b), 0);
    std::vector<vport::Write> writes(vport::history_length);
    writes.resize(vport::recent_writes(port.state, writes.data(), writes.size()));
    ASSERT_GE(writes.size(), 2u * least);
    uint8_t before = vport::status_at_start;
    for (const vport::Write &write : writes) {
        ASSERT_EQ(__builtin_popcount(write.value ^ before), 1) << write.number;
        before = write.value;
    }
    EXPECT_EQ(vport::read(port.state, vport::status), before);

    // A watcher that died while changing an input does not keep the others
    // from theirs.
    const pid_t died = forked([] { return true; });
    exit_status(died);
    port.state->status_setter = static_cast<uint32_t>(died);
    watch::Port *after = nullptr;
    ASSERT_EQ(watch::open_to_set(0x3BC, &after, why, sizeof why), watch::opened) << why;
    EXPECT_TRUE(watch::set_input(after, *watch::input_at(12), false, why, sizeof why));
    EXPECT_EQ(vport::read(port.state, vport::status), before & ~0x20);
    watch::close(after);

    // One stalled inside its change for over a second (held at its first
    // write to its record's page until told) loses the lock to the next:
    // each change then keeps the other's, and the history shows each once.
    const uint8_t now = vport::read(port.state, vport::status);
    const uint64_t from = vport::write_count(port.state);
    static int stalled[2], resume[2];
    ASSERT_EQ(pipe(stalled) | pipe(resume), 0);
    const pid_t slow = forked([&] {
        stop_at_write(&port.state->history[(from + 1) % vport::history_length], [](int) {
            char c = 0;
            (void)!write(stalled[1], &c, 1);
            (void)!read(resume[0], &c, 1);
            mprotect(held_page, getpagesize(), PROT_READ | PROT_WRITE);
        });
        vport::set_status_bit(port.state, 0x08, (now & 0x08) == 0);
        return true;
    });
    close(stalled[1]);
    char c = 0;
    ASSERT_EQ(read(stalled[0], &c, 1), 1);
    vport::set_status_bit(port.state, 0x10, (now & 0x10) == 0);
    ASSERT_EQ(write(resume[1], &c, 1), 1);
    EXPECT_EQ(exit_status(slow), 0);
    uint64_t missed = 1;
    ASSERT_EQ(vport::writes_after(port.state, from, writes.data(), 8, &missed), 2u);
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(writes[1].value, now ^ 0x18);
    EXPECT_EQ(vport::read(port.state, vport::status), now ^ 0x18);
}

// A real port's program records its writes with its device: each write
// keeps its own, also among the virtual port's own writes, and the inputs
// are wires only while that program runs, also as pid 1 of a pid namespace
// of its own (a container's; root only), whatever process has its id once
// it ended (here: init).
TEST_F(VirtualPort, EachWriteKeepsItsDeviceAndARealPortsInputsAreWiresWhileItsProgramRuns)
{
    watch::Port *watcher = nullptr;
    ASSERT_EQ(watch::open_to_set(0x3BC, &watcher, why, sizeof why), watch::opened) << why;
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    const bool contained = exit_status(forked([] { return unshare(CLONE_NEWPID) == 0; })) == 0;
    if (!contained) {
        std::cout << "[ SKIPPED  ] the program as pid 1 of a namespace: unshare needs root\n";
    }
    int ended[2];
    ASSERT_EQ(pipe(ended), 0);
    const pid_t program = forked([&] {
        if (contained && unshare(CLONE_NEWPID) != 0) {
            return false;
        }
        const pid_t inner = forked([&] { // pid 1 when contained
            close(ended[1]);
            void *own = nullptr, *record = nullptr;
            ports::virtual_backend.open(0x3BC, &own, why, sizeof why);
            ports::virtual_backend.open(0x3BC, &record, why, sizeof why);
            ports::virtual_backend.write(own, vport::data, 1);
            ports::write_marked(record, vport::data, 2, vport::device_mark("/dev/parport9"));
            ports::virtual_backend.write(own, vport::data, 3);
            ports::write_marked(record, vport::data, 4,
                                vport::device_mark("0x378 through\ntheir.dll"));
            ports::write_marked(record, vport::data, 5, vport::device_mark("/dev/parport9"));
            return read(ended[0], why, 1) == 0; // runs on until let go
        });
        close(ended[1]);
        return exit_status(inner) == 0;
    });
    close(ended[0]);
    watch::Write writes[8];
    uint64_t missed = 1;
    ASSERT_TRUE(eventually([&] { return watch::writes_after(watcher, 0, writes, 8, &missed) == 5; },
                           10000));
    EXPECT_EQ(missed, 0u);
    std::string devices;
    for (int i = 0; i < 5; ++i) {
        char name[80] = "?";
        devices +=
            std::to_string(writes[i].value) + " " +
            (watch::device_name(watcher, writes[i].device, name, sizeof name) ? name : "own") +
            ", ";
    }
    EXPECT_EQ(devices,
              "1 own, 2 /dev/parport9, 3 own, 4 0x378 through?their.dll, 5 /dev/parport9, ");
    EXPECT_TRUE(!contained || writes[4].pid == 1);
    const watch::Pin &busy = *watch::input_at(11);
    EXPECT_FALSE(watch::set_input(watcher, busy, false, why, sizeof why));
    EXPECT_STREQ(why, "port 0x3BC is the real port /dev/parport9: its inputs are wires, not "
                      "ours to set");
    // The program ended: nothing drives the lines any more.
    close(ended[1]);
    EXPECT_EQ(exit_status(program), 0);
    port.state->last_device = vport::device_word(1, writes[4].device);
    EXPECT_TRUE(watch::set_input(watcher, busy, false, why, sizeof why)) << why;
    EXPECT_EQ(watch::read(watcher, watch::status), vport::status_at_start | 0x80);
    watch::close(watcher);
}

// A watcher that follows the port gets every write after the one it names,
// in order, or counts those it could not get: none is told twice or lost uncounted, also while a
// writer outruns it, and one still being made is waited for unless its writer died making it.
TEST_F(VirtualPort, WritesAfterANumberComeInOrderAndThoseNotKeptAreCounted)
{
    const uint64_t total = vport::history_length + 100;
    const auto counting = [](uint64_t i) { return static_cast<short>(i & 0xFF); };
    ASSERT_EQ(exit_status(writes_of(total, counting)), 0);
    ASSERT_TRUE(vport::open_shared(0x3BC, &port, why, sizeof why)) << why;
    std::vector<vport::Write> writes(total);
    uint64_t missed = 0;
    ASSERT_EQ(vport::writes_after(port.state, 0, writes.data(), writes.size(), &missed),
              vport::history_length);
    EXPECT_EQ(missed, 100u);
    EXPECT_EQ(writes[0].number, 101u);
    EXPECT_EQ(vport::writes_after(port.state, total - 2, writes.data(), 8, &missed), 2u);

    // A write numbered and not yet made holds back the ones after it.
    const uint64_t in_flight = vport::take_number(port.state);
    vport::write(port.state, vport::data, 0x22);
    EXPECT_EQ(vport::writes_after(port.state, total, writes.data(), 8, &missed), 0u);
    vport::write_numbered(port.state, in_flight, vport::data, 0x11);
    ASSERT_EQ(vport::writes_after(port.state, total, writes.data(), 8, &missed), 2u);
    EXPECT_EQ(writes[0].value, 0x11);
    EXPECT_EQ(writes[1].value, 0x22);

    // Followed while written as fast as a program can: each write read once
    // or counted, its value the writer's.
    const uint64_t start_at = vport::write_count(port.state), more = 300000;
    const pid_t fast = writes_of(more, counting);
    uint64_t after = start_at, read_in_order = 0, counted = 0;
    bool in_order = true;
    while (after < start_at + more &&
           eventually([&] { return vport::write_count(port.state) > after; }, 10000)) {
        const size_t n = vport::writes_after(port.state, after, writes.data(), 4096, &missed);
        counted += missed;
        after += missed;
        for (size_t i = 0; i < n; ++i) {
            in_order = in_order && writes[i].number == ++after &&
                       writes[i].value == ((after - start_at) & 0xFF);
        }
        read_in_order += n;
    }
    EXPECT_EQ(exit_status(fast), 0);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(read_in_order + counted, more);

    // Numbered before another program rebuilt the damaged file and latched
    // after it: the next writes reach the register at once, and the file
    // does not look damaged to watchers meanwhile.
    const uint64_t through = vport::take_number(port.state);
    port.state->magic = 0;
    ASSERT_EQ(run(dir.path, probe + " 3bc=22").output, "init=0\n");
    vport::write_numbered(port.state, through, vport::data, 0x33);
    EXPECT_TRUE(vport::valid(port.state, 0x3BC));
    EXPECT_EQ(run(dir.path, probe + " 3bc 3bc=44; " + probe + " 3bc").output,
              "init=0 3bc=33\ninit=0 3bc=44\n");
    ASSERT_EQ(vport::recent_writes(port.state, writes.data(), 8), 3u);
    EXPECT_EQ(writes[1].value, 0x33);

    // Writers that died halfway through a write, in the file made anew: one
    // that had only claimed its slot is no write of zeros, and is counted
    // missed after a second of a watcher's looks. One killed at its latch
    // (its page read-only) never wrote: counted missed at once, the port
    // reads the write before, and the writes after it are told. One killed
    // after its latch, before its record, is told with the value it latched.
    const uint64_t claimed = vport::take_number(port.state);
    port.state->history[claimed].tag = claimed;
    vport::Awaited awaited;
    const auto watcher = [&] {
        return vport::writes_after(port.state, claimed - 1, writes.data(), 8, &missed, &awaited);
    };
    EXPECT_EQ(watcher(), 0u);
    EXPECT_TRUE(eventually([&] { return watcher() == 0 && missed == 1; }, 10000));
    const auto page = [](const void *at) { return uintptr_t(at) / getpagesize(); };
    do {
        vport::write(port.state, vport::data, 0x04);
    } while (
        page(&port.state->history[(vport::write_count(port.state) + 1) % vport::history_length]) ==
        page(port.state));
    const uint64_t doomed = vport::take_number(port.state);
    exit_status(forked([&] {
        stop_at_write(port.state, [](int) { _exit(0); });
        vport::write_numbered(port.state, doomed, vport::data, 0xA5);
        return true;
    }));
    EXPECT_EQ(vport::read(port.state, vport::data), 0x04);
    exit_status(forked([&] {
        const uint64_t latched = vport::take_number(port.state);
        vport::claim_slot(port.state, latched);
        port.state->registers[vport::data] = vport::register_word(latched, 0x5A);
        return true;
    }));
    ASSERT_EQ(vport::writes_after(port.state, doomed - 1, writes.data(), 8, &missed), 1u);
    EXPECT_EQ(missed, 1u);
    EXPECT_EQ(writes[0].value, 0x5A);
}

} // namespace
