// The calls made for one client request, on the thread that serves it
// (QD_BeginRequest .. QD_EndRequest). Inside a request a file's read
// statement stays open from one call to the next, so that a block of reads
// steps one statement rather than starting one per record; the request's
// end resets them all, so that no read snapshot outlives the request (it
// would hold back the log's checkpoints for as long as a client waits).
// Outside a request every call ends its own statement.
#pragma once

namespace tmbio {

class OpenFile;

namespace request {

// Starts a request on this thread; one still open is ended first.
void Begin() noexcept;
// Ends the statements of the files this thread's calls left open.
void End() noexcept;
// After a call on `f`: ends its statement now outside a request, else at
// the request's end.
void CallDone(OpenFile* f) noexcept;
// `f` is about to be freed on this thread: its statement is no concern of
// the request any more.
void Forget(OpenFile* f) noexcept;

}  // namespace request
}  // namespace tmbio
