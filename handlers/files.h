// Handlers that open and close library files, read and add dictionary
// entries, report a file's last error and set the client's file cell.
#pragma once

namespace tmb {

struct Session;

// Opcode 40: opens a file in an environment; replies -1 and the error word,
// or the file's id and the six values the client sizes its buffers by (the
// first negated when the file's first key has a flagged segment).
void OpenFile(Session& s);
// Opcode 2: frees the file's read buffer, closes the file, replies the status.
void CloseFile(Session& s);
// Opcode 3: reads a dictionary entry; replies the status and, when it is not
// negative, exactly as many bytes as were asked for.
void ReadDictionary(Session& s);
// Opcode 54: adds a dictionary entry; replies the status.
void AddDictionary(Session& s);
// Opcode 10: replies the error word of the file's last call.
void GetFileError(Session& s);
// Opcode 61: hands the library the client's value for the file's cell
// setting; the reply body is empty.
void SetFileCell(Session& s);

}  // namespace tmb
