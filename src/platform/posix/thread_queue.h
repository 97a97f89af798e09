// Between the message queues and the threads of the layer: a thread ends its
// queue before it reports its own end, so that nothing posted to it
// afterwards is kept.
#pragma once

namespace platform {

// Ends the calling thread's queue, if it has one, and its id: the next
// CurrentThreadId() on this system thread is a new one.
void DestroyCurrentThreadQueue();

}  // namespace platform
