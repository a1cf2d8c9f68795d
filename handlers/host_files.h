// Handlers that let a client look at the server machine's file system
// without the data library: directory searches, profile strings and file
// status.
//
// Directory searches live in one process-wide list, so that an id handed to
// one connection is usable from any other; a search stays open until it is
// closed by id, even after its connection ends. Ids count up from 1 and
// start again at 1 whenever closing a search leaves the list empty.
#pragma once

namespace tmb {

struct Session;

// Opcode 25: opens a search; replies its id and the first name, or -1.
void FindFirstFile(Session& s);
// Opcode 26: replies 1 and the search's next name, or 0.
void FindNextFile(Session& s);
// Opcode 27: closes a search (an unknown id changes nothing); replies 1.
void FindClose(Session& s);
// Opcode 24: replies the count and bytes of a profile string or listing.
void GetProfileString(Session& s);
// Opcode 28: replies 0 and the Windows-style mode word, or -1.
void StatFile(Session& s);

}  // namespace tmb
