#include "run_update.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "file_io.h"
#include "locator/find_insertion_point.h"
#include "torn_rewrite.h"

namespace {

constexpr const char* table_path = "/etc/fstab";
constexpr const char* backup_path = "/etc/fstab.bak";
constexpr const char* backup_directory = "/etc";
constexpr mode_t backup_creation_mode = 0600;
constexpr mode_t table_creation_mode = 0644;
// malloc gives no object larger than this.
constexpr auto largest_buffer = static_cast<std::uintmax_t>(PTRDIFF_MAX);

// Placed right after the options word, so the leading comma extends it.
constexpr std::string_view insertion_text = ",devgid=78,devmode=0664";

constexpr std::string_view progress_text = "Updating /etc/fstab...";

// How a run ends: the message that completes the progress line, and the
// exit status.
struct outcome {
    std::string_view message;
    int status;
};

constexpr outcome patched{"OK\n", 0};
// A table without a usbfs entry to patch is not an error for callers.
constexpr outcome no_usbfs_entry{"\nError: can't find correct usbfs entry\n", 0};
constexpr outcome cant_open{"\nError: can't open file\n", 1};
constexpr outcome cant_read{"\nError: can't read file\n", 1};
constexpr outcome no_buffer{"\nError: malloc failure\n", 1};
constexpr outcome cant_back_up{"\nError: can't make backup\n", 2};
constexpr outcome cant_open_for_writing{"\nError: can't open file for writing\n", 4};
constexpr outcome cant_write{"\nError: can't write file\n", 4};

// Each message is one write to standard error. One that can't be written
// has nowhere else to go; the exit status still tells the caller.
void report(std::string_view message) {
    (void)write_fully(STDERR_FILENO, message);
}

int finish(const outcome& end) {
    report(end.message);
    return end.status;
}

// A large table is read into memory that was never touched, and every 4 KiB
// page of it costs a fault. Huge pages make that one fault per 2 MiB. The
// hint covers the whole huge pages inside the buffer, so a table under
// 2 MiB never gets it; its result doesn't matter.
void ask_for_huge_pages(char* buffer, std::size_t size) {
    constexpr std::size_t huge_page_size = std::size_t{2} << 20;
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(buffer) % huge_page_size;
    const std::size_t lead = misalignment == 0 ? 0 : huge_page_size - misalignment;
    if (size > lead && size - lead >= huge_page_size) {
        const std::size_t length = (size - lead) / huge_page_size * huge_page_size;
        (void)madvise(buffer + lead, length, MADV_HUGEPAGE);
    }
}

// The table's buffer comes from malloc, so that the tool needs no C++
// runtime and a refused allocation is a status, not an exception.
struct free_buffer {
    void operator()(char* buffer) const { std::free(buffer); }
};
using table_buffer = std::unique_ptr<char, free_buffer>;

bool flush_to_disk(const unique_fd& file) {
    return fsync(file.get()) == 0;
}

// Some kernels and file systems can't flush a directory at all and answer
// EINVAL (or EBADF) for it. The backup file itself is on disk by then, so
// that is no failure; any other error is.
bool flush_directory_to_disk(const unique_fd& directory) {
    return fsync(directory.get()) == 0 || errno == EINVAL || errno == EBADF;
}

// Reserves the blocks for new_size bytes without changing the file, so
// that a table too large for the file system is refused before a byte of
// the old one is overwritten. Where the file system can't reserve space
// (EOPNOTSUPP), or the kernel predates fallocate (ENOSYS, before 2.6.23),
// the rewrite goes ahead and relies on put_back_table().
bool reserve_space(const unique_fd& file, off_t new_size) {
    int result = 0;
    do {
        result = fallocate(file.get(), FALLOC_FL_KEEP_SIZE, 0, new_size);
    } while (result != 0 && errno == EINTR);
    return result == 0 || errno == EOPNOTSUPP || errno == ENOSYS;
}

// Writes the old table back over a rewrite that failed part way: the table
// as read, or, where the run finishes a torn rewrite, as the backup holds
// it. The old bytes fit in the space the file already had.
bool put_back_table(const unique_fd& file, std::string_view fstab_image) {
    return lseek(file.get(), 0, SEEK_SET) == 0 && write_fully(file.get(), fstab_image) &&
           ftruncate(file.get(), static_cast<off_t>(fstab_image.size())) == 0 &&
           flush_to_disk(file);
}

// The backup as an earlier run left it, where the table could be a rewrite
// of it that was cut short: no shorter than the backup, at most
// insertion_text longer, and not equal to it. No backup, one of another
// size, one equal to the table, or one that can't be read gives no earlier
// table, and the run goes on as any other.
struct earlier_table {
    table_buffer bytes;
    std::size_t size = 0;
    bool out_of_memory = false;

    [[nodiscard]] std::string_view image() const { return {bytes.get(), size}; }
};

earlier_table read_earlier_table(std::string_view fstab_image) {
    earlier_table earlier;
    // Without O_NONBLOCK a FIFO left at the backup's path would hang the
    // run here; on a regular file the flag changes nothing.
    unique_fd backup = open_file(backup_path, O_RDONLY | O_NONBLOCK);
    struct stat backup_status {};
    if (!backup.is_open() || fstat(backup.get(), &backup_status) != 0 ||
        !S_ISREG(backup_status.st_mode) || backup_status.st_size <= 0) {
        return earlier;
    }
    const auto backup_size = static_cast<std::uintmax_t>(backup_status.st_size);
    if (backup_size > fstab_image.size() ||
        backup_size + insertion_text.size() < fstab_image.size()) {
        return earlier;
    }
    const auto size = static_cast<std::size_t>(backup_size);
    // Most reruns find a backup that begins as the table does, often one
    // equal to it. It is read a chunk at a time while it does, and a buffer
    // of its size is taken only once it differs: the bytes so far are then
    // the table's own.
    static char chunk[std::size_t{1} << 16];
    std::size_t same = 0;
    std::size_t chunk_size = 0;
    while (same < size) {
        chunk_size = std::min(sizeof chunk, size - same);
        if (!read_fully(backup.get(), std::span(chunk, chunk_size))) {
            return earlier;
        }
        if (std::memcmp(chunk, fstab_image.data() + same, chunk_size) != 0) {
            break;
        }
        same += chunk_size;
    }
    if (same == fstab_image.size()) {
        return earlier;
    }
    table_buffer bytes(static_cast<char*>(std::malloc(size)));
    if (!bytes) {
        earlier.out_of_memory = true;
        return earlier;
    }
    ask_for_huge_pages(bytes.get(), size);
    std::memcpy(bytes.get(), fstab_image.data(), same);
    if (same < size) {
        std::memcpy(bytes.get() + same, chunk, chunk_size);
        same += chunk_size;
    }
    if (read_fully(backup.get(), std::span(bytes.get() + same, size - same))) {
        earlier.bytes = std::move(bytes);
        earlier.size = size;
    }
    // Nothing was written through this descriptor, so its close can lose
    // nothing.
    (void)backup.close();
    return earlier;
}

}  // namespace

int run_update() {
    report(progress_text);

    unique_fd table = open_file(table_path, O_RDONLY);
    if (!table.is_open()) {
        return finish(cant_open);
    }
    // Another run of this tool waits here until this one has flushed its
    // rewrite, then reads the finished table: two runs at once must not
    // back up or patch a table that the other is halfway through.
    if (!lock_or_go_on_without(table.get())) {
        return finish(cant_read);
    }
    struct stat table_status {};
    if (fstat(table.get(), &table_status) != 0 || table_status.st_size < 0) {
        return finish(cant_read);
    }
    // A 32-bit build can't hold a table of 4 GiB or more, and its size must
    // not be cut down to fit: the rewrite would then drop the rest.
    if (static_cast<std::uintmax_t>(table_status.st_size) > largest_buffer) {
        return finish(no_buffer);
    }
    const auto size = static_cast<std::size_t>(table_status.st_size);
    // An empty table has nothing to patch and ends here, before any backup.
    if (size == 0) {
        return finish(no_buffer);
    }
    const table_buffer buffer(static_cast<char*>(std::malloc(size)));
    if (!buffer) {
        return finish(no_buffer);
    }
    ask_for_huge_pages(buffer.get(), size);
    if (!read_fully(table.get(), std::span(buffer.get(), size))) {
        return finish(cant_read);
    }
    std::string_view fstab_image(buffer.get(), size);

    // A run killed inside its rewrite, or a crash before the rewrite reached
    // the disk, leaves a table torn between the old and the new one. The
    // backup then holds the only whole copy of the old table: it is kept,
    // and the rewrite is done again from it. Without memory to tell, the
    // run stops here rather than risk backing up a torn table.
    earlier_table earlier = read_earlier_table(fstab_image);
    if (earlier.out_of_memory) {
        return finish(no_buffer);
    }
    if (earlier.bytes && is_torn_rewrite(fstab_image, earlier.image(), insertion_text)) {
        fstab_image = earlier.image();
    } else {
        earlier.bytes.reset();
        unique_fd backup =
            open_file(backup_path, O_WRONLY | O_CREAT | O_TRUNC, backup_creation_mode);
        if (!backup.is_open()) {
            return finish(cant_back_up);
        }
        if (!write_fully(backup.get(), fstab_image) || !flush_to_disk(backup) || !backup.close()) {
            return finish(cant_back_up);
        }
        // A backup created just now also needs its directory entry on disk,
        // or a crash during the rewrite could leave no backup at all.
        unique_fd directory = open_file(backup_directory, O_RDONLY | O_DIRECTORY);
        if (!directory.is_open() || !flush_directory_to_disk(directory) || !directory.close()) {
            return finish(cant_back_up);
        }
    }

    const std::optional<std::size_t> insertion_point = find_insertion_point(fstab_image);
    if (!insertion_point) {
        return finish(no_usbfs_entry);
    }

    // The table is rewritten in place, not replaced, so its inode, owner and
    // mode stay, and a symbolic link at /etc/fstab stays one. It is not
    // truncated on open: the old bytes are only overwritten once the new
    // ones are known to fit.
    unique_fd rewrite = open_file(table_path, O_WRONLY | O_CREAT, table_creation_mode);
    if (!rewrite.is_open()) {
        return finish(cant_open_for_writing);
    }
    const auto new_size = static_cast<off_t>(fstab_image.size() + insertion_text.size());
    if (!reserve_space(rewrite, new_size)) {
        return finish(cant_write);
    }
    // The bytes before the insertion point are in the file already. The
    // rest goes in one request, so that a run killed between two calls
    // leaves either the old table or the whole new one. The truncation only
    // matters if the table grew since it was read: no stale tail may follow
    // the new table.
    const auto insertion_offset = static_cast<off_t>(*insertion_point);
    if (lseek(rewrite.get(), insertion_offset, SEEK_SET) != insertion_offset ||
        !write_both_fully(rewrite.get(), insertion_text, fstab_image.substr(*insertion_point)) ||
        ftruncate(rewrite.get(), new_size) != 0 || !flush_to_disk(rewrite)) {
        (void)put_back_table(rewrite, fstab_image);
        return finish(cant_write);
    }
    if (!rewrite.close()) {
        return finish(cant_write);
    }
    // The new table is on disk: the next run may have it. Nothing was
    // written through this descriptor, so its close can lose nothing.
    (void)table.close();
    return finish(patched);
}
