#pragma once
// When the memo's text buffer is compacted. Qt keeps every character ever inserted in one buffer
// and compacts it, copying the whole text and walking every line, at the end of the first edit
// after more than kQtCompactsAfter characters of text were removed (line breaks not counted).
// For a full memo that takes about 7 ms. Left to Qt it lands in whichever settle crosses the
// mark, sometimes just before a tick, which then waits for it and the voice's spacing shows it.
// So the removals are counted here, and when the pace of removing would reach the mark in the
// stretch before the next tick, the buffer is compacted at once instead, while there is time.

#include <QtGlobal>
#include <chrono>
#include <optional>

class QTextDocument;

namespace controls {

// More than this many removed characters make Qt compact the buffer (96 KB of UTF-16).
inline constexpr qsizetype kQtCompactsAfter = 48 * 1024;

// No compaction starts this close to a tick, nor this long after it is due (the tick itself may
// come a little late): a compaction of a full memo fits in the first, with room to spare.
inline constexpr std::chrono::milliseconds kQuietBeforeTick{15};
inline constexpr std::chrono::milliseconds kQuietAfterTick{5};
// Compacting early is decided only this shortly before the quiet stretch: the later, the more
// Qt's count has grown meanwhile, and the fewer compactions it takes. A flood settles every few
// milliseconds, and without settles nothing is removed.
inline constexpr std::chrono::milliseconds kDecideBeforeQuiet{10};

class CompactionSchedule {
  public:
    using Clock = std::chrono::steady_clock;

    // An edit of the program's removed `characters` of text, not counting line breaks.
    void Removed(qsizetype characters, Clock::time_point now = Clock::now());

    // Whether to compact now, `timeToTick` before the next tick is due (none: there is no tick to
    // keep clear of, and Qt compacts as it will): when the quiet stretch around the tick is near
    // and, removing at the pace seen since the last compaction, Qt would reach its mark in it.
    bool Due(std::optional<std::chrono::milliseconds> timeToTick,
             Clock::time_point now = Clock::now()) const;

    // Makes Qt compact `document`'s buffer now, leaving its text as it is. Only with undo off,
    // as for every edit of the program's: Qt compacts only then.
    void CompactNow(QTextDocument* document, Clock::time_point now = Clock::now());

  private:
    qsizetype removed_ = 0;
    Clock::time_point since_ = Clock::now();
};

}  // namespace controls
