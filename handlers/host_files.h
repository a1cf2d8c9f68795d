// Handlers that let a client look at the server machine's file system
// without the data library: directory searches, profile strings and file
// status.
//
// They reach only the data directories of the configured catalogs and the
// directories "HostFileRoots" lists (config/data_roots.h), read afresh at
// every request. A path is resolved first (symbolic links and ".." as the
// file system takes them); one that leads anywhere else is answered exactly
// as a path that does not exist.
//
// Directory searches live in one process-wide list, so that an id handed to
// one connection is usable from any other (which, with the searches held to
// the same directories, shows nothing that connection could not list
// itself). A search stays open until it is closed by id or the connection
// that opened it ends; one connection holds at most "SearchesPerConnection"
// of them. Ids count up from 1 and start again at 1 whenever closing a
// search leaves the list empty.
#pragma once

namespace tmb {

struct Session;

// Opcode 25: opens a search; replies its id and the first name, or -1 (also
// for a directory outside the roots, and for a connection at its limit).
void FindFirstFile(Session& s);
// Opcode 26: replies 1 and the search's next name, or 0.
void FindNextFile(Session& s);
// Opcode 27: closes a search (an unknown id changes nothing); replies 1.
void FindClose(Session& s);
// Opcode 24: replies the count and bytes of a profile string or listing; a
// file outside the roots reads as missing.
void GetProfileString(Session& s);
// Opcode 28: replies 0 and the Windows-style mode word, or -1.
void StatFile(Session& s);

}  // namespace tmb
