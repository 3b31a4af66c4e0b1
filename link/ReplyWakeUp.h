#pragma once

namespace rq70 {

// Lets a wait for an n-byte reply sleep until all n bytes are in the driver instead of waking for
// each of them. The tty's VMIN says how many bytes make it readable to poll(), the call the event
// loop sleeps in, as long as VTIME is 0; reads stay non-blocking and still return what is there.
class ReplyWakeUp {
public:
    // The open tty `fd`, whose settings at this moment are the ones Reset returns to.
    void Attach(int fd);
    void Detach();
    // Readable from now on only once `bytes` (1..255) wait in the driver. False when the tty
    // refused; it then stays readable at every byte.
    bool WakeAt(int bytes);
    // Back to the tty's own setting.
    void Reset();

private:
    int fd_ = -1;
    int baseMin_ = 0;
    int baseTime_ = 0;
    int currentMin_ = 0;
};

} // namespace rq70
