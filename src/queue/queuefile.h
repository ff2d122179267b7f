// Queue files: one page per file in the spool directory.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/page.h"

namespace callvane {

// The format version that the writer puts first and the reader insists on.
inline constexpr int QUEUE_VERSION = 3;

// The largest "Bytes:" value a queue file may carry: a message line of at
// most MAX_PAGE_BYTES - 11 characters. Larger pages are refused on writing
// and such files are refused on reading.
inline constexpr long MAX_PAGE_BYTES = 1024 * 1024;

// A queue file larger than this is refused without being read; the writer
// never makes one.
inline constexpr long MAX_QUEUE_FILE_BYTES = 4 * MAX_PAGE_BYTES;

// Word values (pager, coverage, hostname, message id) are at most this long.
inline constexpr size_t MAX_WORD_LENGTH = 255;

// A queue file's name starts with one of these: a page waiting for
// delivery, or one set aside as bad.
inline constexpr char PENDING_PREFIX = 'P';
inline constexpr char BAD_PREFIX = 'B';

// Writers build a file under a name of this form, "tmp.<pid>.<n>", and give
// it its queue name only once it is complete and on disk.
inline constexpr const char* TEMP_PREFIX = "tmp.";

// Whole-file record lock; 0, or -1 with errno.
int lock_file(int fd, bool exclusive, bool wait);

// Writing a queue file only writes files: reports are the queue run's.
// Both return 1 written, 0 removed (every recipient sent) or set aside as
// bad, -1 failure. A file is complete and synced to disk under its final
// name before 1 or 0 is returned; after -1 no new file exists and an old
// one is unchanged. Pages holding values the format cannot carry (see
// MAX_WORD_LENGTH) are refused with -1.

// A page that has no file yet: gives it a new queue name.
int write_new_page(page& p);

// A page read from its file: replaces, removes or sets aside that file.
int write_page(page& p);

// Reads one queue file; null when it cannot be read or is refused.
std::unique_ptr<page> read_page(const std::string& name);

// Lets the processes forked from here on share where the newest queue name
// was taken, so that each new page finds a free name at the first try.
void share_queue_name_hint();

// Removes the temporary files that writers killed mid-write left in the
// current directory; never one whose writer still runs.
void remove_stale_temporaries();

}  // namespace callvane
