#pragma once

// The hard links of a copy: the names in SOURCE that share one inode are
// given one inode in DESTINATION as well. The first name whose copy is made
// gets the data; every other name becomes a link to that copy, and is
// copied on its own only when the link cannot be made (the copy is gone, or
// cannot take another name). Several copy threads share one context: a name
// whose inode another thread is copying waits for that copy to end. Nothing
// here logs.

#include <QByteArray>

#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>

#include <sys/types.h>

class DirectoryJob;

class HardLinks
{
public:
    using Inode = std::pair<dev_t, ino_t>; // in SOURCE

    // Where an inode's copy is: the name `name` in the copy of `directory`.
    struct Copy
    {
        const DirectoryJob *directory = nullptr; // nullptr: none yet
        QByteArray name;
    };

    // The one copy to link the name to; none when the caller is to copy it,
    // and must then say with finished() whether it did.
    class Claim
    {
    public:
        Claim(HardLinks *owner, Inode inode) : owner(owner), inode(inode) {}
        Claim(const Copy &existing) : existing(existing) {}
        ~Claim() { finished(Copy()); }
        Claim(const Claim &) = delete;
        Claim &operator=(const Claim &) = delete;
        Claim(Claim &&other) noexcept;

        // The copy that exists, when there is one.
        const Copy &copy() const { return existing; }
        // The caller's copy is made (`made`), or could not be: then the next
        // name of the inode makes one.
        void finished(const Copy &made);

    private:
        HardLinks *owner = nullptr; // set while the copy is the caller's to make
        Inode inode{};
        Copy existing;
    };

    // Waits while another thread makes the inode's copy.
    Claim claim(Inode inode);

private:
    friend class Claim;
    void finish(Inode inode, const Copy &made);

    std::mutex mutex;
    std::condition_variable copyFinished;
    std::map<Inode, Copy> copies; // directory nullptr: being made
};
