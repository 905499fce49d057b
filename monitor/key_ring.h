// Keys from the terminal's own thread for the live view's loop, which takes
// them at its next look: one writer, one reader; a key beyond the few that
// wait is dropped, as a held key repeats.
#ifndef LPTMON_KEY_RING_H
#define LPTMON_KEY_RING_H

#include <atomic>

class KeyRing {
  public:
    void put(char key)
    {
        const unsigned in = in_.load();
        if (in - out_.load() < room) {
            keys_[in % room] = key;
            in_.store(in + 1);
        }
    }
    // 0 when none waits.
    char take()
    {
        const unsigned out = out_.load();
        if (out == in_.load()) {
            return 0;
        }
        const char key = keys_[out % room];
        out_.store(out + 1);
        return key;
    }

  private:
    static const unsigned room = 16;
    char keys_[room] = {};
    std::atomic<unsigned> in_{0}, out_{0};
};

#endif
