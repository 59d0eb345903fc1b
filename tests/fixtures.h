// Tables and messages that more than one kind of test uses.
#pragma once

#include <string>

inline const std::string progress = "Updating /etc/fstab...";

inline std::string error_message(const char* reason) {
    return std::string("\nError: ") + reason + "\n";
}

inline const std::string patched = "OK\n";
inline const std::string cant_open = error_message("can't open file");
inline const std::string cant_read = error_message("can't read file");
inline const std::string no_buffer = error_message("malloc failure");
inline const std::string no_entry = error_message("can't find correct usbfs entry");
inline const std::string cant_back_up = error_message("can't make backup");
inline const std::string cant_open_for_writing = error_message("can't open file for writing");
inline const std::string cant_write = error_message("can't write file");

inline const std::string typical_table =
    "# /etc/fstab: static file system information.\n"
    "UUID=3b9e4c1a-7f52-4c1e-9d1b-2a6f0e8c5d41 / ext4 errors=remount-ro 0 1\n"
    "proc /proc proc defaults 0 0\n"
    "none /proc/bus/usb usbfs defaults 0 0\n"
    "/dev/sr0 /media/cdrom0 udf,iso9660 user,noauto 0 0\n";
inline const std::string typical_patched =
    "# /etc/fstab: static file system information.\n"
    "UUID=3b9e4c1a-7f52-4c1e-9d1b-2a6f0e8c5d41 / ext4 errors=remount-ro 0 1\n"
    "proc /proc proc defaults 0 0\n"
    "none /proc/bus/usb usbfs defaults,devgid=78,devmode=0664 0 0\n"
    "/dev/sr0 /media/cdrom0 udf,iso9660 user,noauto 0 0\n";

inline const std::string typical_patched_twice =
    "# /etc/fstab: static file system information.\n"
    "UUID=3b9e4c1a-7f52-4c1e-9d1b-2a6f0e8c5d41 / ext4 errors=remount-ro 0 1\n"
    "proc /proc proc defaults 0 0\n"
    "none /proc/bus/usb usbfs defaults,devgid=78,devmode=0664,devgid=78,devmode=0664 0 0\n"
    "/dev/sr0 /media/cdrom0 udf,iso9660 user,noauto 0 0\n";

inline const std::string table_without_usbfs =
    "UUID=3b9e4c1a-7f52-4c1e-9d1b-2a6f0e8c5d41 / ext4 errors=remount-ro 0 1\n"
    "#none /proc/bus/usb usbfs defaults 0 0\n";
