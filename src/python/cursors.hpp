// The iterators that walk a map's live table, as the map keeps track of them.
//
// An iterator yields the elements the map held when the iterator was made,
// in entry order, and fails its next step once the map's mutation_count has
// moved.  Every mutation but one moves that count, so an iterator can walk
// the live table with a cursor instead of copying every element when it is
// made: as long as the count stands still, the table is the one it was.  The
// one exception is an update that fails part-way - it has stored pairs but
// leaves the count alone - after which an iterator must still yield the old
// elements.  So the map links its cursors in a list, and before an update
// stores anything, each cursor copies the elements it has still to yield and
// walks that copy from then on.  That costs the update a walk of the
// remaining elements only while iterators over the map are alive.
//
// Each link names the function that makes its iterator's copy.  A cursor is
// unlinked when its iterator is released; an iterator released on a foreign
// thread keeps its memory (it cannot touch the map's list from there), so
// the link it leaves behind stays valid.
#pragma once

namespace quorvel::python {

struct CursorLink {
    CursorLink* prev = nullptr;
    CursorLink* next = nullptr;
    // Makes the iterator's own copy of what it has still to yield; throws
    // (PythonError, bad_alloc) when that fails, before anything changed.
    void (*detach)(void* owner) = nullptr;
    void* owner = nullptr;  // the iterator's state
};

class CursorList {
public:
    CursorList() noexcept = default;
    // A map's list moves with it only while empty (when the map is built).
    CursorList(CursorList&& other) noexcept : first_(other.first_) { other.first_ = nullptr; }
    CursorList& operator=(CursorList&&) = delete;

    void link(CursorLink& cursor) noexcept {
        cursor.prev = nullptr;
        cursor.next = first_;
        if (first_ != nullptr) first_->prev = &cursor;
        first_ = &cursor;
    }

    void unlink(CursorLink& cursor) noexcept {
        if (cursor.prev != nullptr) cursor.prev->next = cursor.next;
        else if (first_ == &cursor) first_ = cursor.next;
        if (cursor.next != nullptr) cursor.next->prev = cursor.prev;
        cursor.prev = cursor.next = nullptr;
    }

    // Every cursor makes its copy and leaves the list.
    void detach_all() {
        while (first_ != nullptr) {
            CursorLink& cursor = *first_;
            cursor.detach(cursor.owner);
            unlink(cursor);
        }
    }

    bool empty() const noexcept { return first_ == nullptr; }

private:
    CursorLink* first_ = nullptr;
};

}  // namespace quorvel::python
