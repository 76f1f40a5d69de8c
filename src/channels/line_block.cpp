// The block path of line reading: one scan finds the line ends of the stream's buffer, then the
// whole lines before the first one that crosses the buffer's end are handed out as a view.
#include "channels/line_block.h"

#include <bit>
#include <cstring>

#include "channels/file_device.h"
#include "system/file_stream.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

std::size_t findLineEndsPortable(const char* bytes,
                                 std::size_t size,
                                 char marker,
                                 std::uint32_t* ends,
                                 bool* marked,
                                 std::size_t limit) {
  std::size_t count = 0;
  std::size_t offset = 0;
  while (count < limit && offset < size) {
    const void* lineFeed = std::memchr(bytes + offset, '\n', size - offset);
    if (lineFeed == nullptr) break;
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - bytes);
    marked[count] = std::memchr(bytes + offset, marker, end - offset) != nullptr;
    ends[count++] = static_cast<std::uint32_t>(end);
    offset = end + 1;
  }
  return count;
}

#if defined(__SSE2__)

// 32 bytes per step, compared as two 16-byte vectors: every LF of the step is a bit of one mask,
// taken lowest first, and every marker a bit of another. The markers up to each LF are taken out
// of their mask with it, so each LF sees only those of its own line; `pending` carries a marker
// of a line that began in an earlier step. The last bytes, fewer than a step, are looked at one
// by one.
std::size_t findLineEnds(const char* bytes,
                         std::size_t size,
                         char marker,
                         std::uint32_t* ends,
                         bool* marked,
                         std::size_t limit) {
  const __m128i lineFeeds = _mm_set1_epi8('\n');
  const __m128i markers = _mm_set1_epi8(marker);
  std::size_t count = 0;
  std::size_t offset = 0;
  bool pending = false;
  for (; offset + 32 <= size; offset += 32) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset + 16));
    std::uint32_t lineFeedBits =
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, lineFeeds))) |
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, lineFeeds))) << 16;
    std::uint32_t markerBits =
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, markers))) |
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, markers))) << 16;
    // A line's own LF is no marker of it, whatever the marker.
    markerBits &= ~lineFeedBits;
    // The lowest LF left ends a line, which takes the markers up to it.
    const auto takeLineEnd = [&] {
      const std::uint32_t upTo = lineFeedBits ^ (lineFeedBits - 1);
      marked[count] = pending || (markerBits & upTo) != 0;
      pending = false;
      markerBits &= ~upTo;
      ends[count++] = static_cast<std::uint32_t>(offset) + std::countr_zero(lineFeedBits);
      lineFeedBits &= lineFeedBits - 1;
    };
    if (count + 32 > limit) {
      // Near the limit: each LF is counted against it.
      while (lineFeedBits != 0 && count < limit) takeLineEnd();
      if (count == limit) return count;
    }
    while (lineFeedBits != 0) takeLineEnd();
    pending = pending || markerBits != 0;
  }
  for (; offset < size && count < limit; ++offset) {
    if (bytes[offset] == '\n') {
      marked[count] = pending;
      pending = false;
      ends[count++] = static_cast<std::uint32_t>(offset);
    } else if (bytes[offset] == marker) {
      pending = true;
    }
  }
  return count;
}

bool vectorLineScan() { return true; }

#else

std::size_t findLineEnds(const char* bytes,
                         std::size_t size,
                         char marker,
                         std::uint32_t* ends,
                         bool* marked,
                         std::size_t limit) {
  return findLineEndsPortable(bytes, size, marker, ends, marked, limit);
}

bool vectorLineScan() { return false; }

#endif

bool takeBufferedLines(ChannelNumber channel, LineBlock& block, char marker) {
  FileChannel* file = fileChannelOf(channel);
  if (file == nullptr) return false;
  const Channel* record = lookupChannel(channel);
  FileStream& stream = file->stream;
  if (record->mode != OpenMode::Input) return false;
  const std::string_view unread = streamPeek(stream);
  if (unread.empty()) return false;
  static_assert(StreamBufferSize <= UINT32_MAX, "offsets in the buffer fit the line ends");
  const char* from = unread.data();
  const std::size_t buffered = unread.size();
  std::size_t count =
      findLineEnds(from, buffered, marker, block.ends, block.marked, LineBlockLines);
  // The channel ends at the length measured at open: a line that starts there or later (the
  // file grew since) is not read; one that starts before it is read to its LF.
  const std::int64_t position = streamPosition(stream);
  const std::int64_t left = record->size - position;
  while (count > 0 && static_cast<std::int64_t>(block.startOf(count - 1)) >= left) --count;
  if (count == 0) return false;
  block.bytes = from;
  block.buffered = buffered;
  block.offset = position;
  block.count = count;
  streamConsume(stream, block.ends[count - 1] + 1);
  setStatus(StatusCode::Ok);
  return true;
}
