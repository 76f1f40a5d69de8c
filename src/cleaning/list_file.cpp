// A list file's open, its reads through the channel that opened it, and the start of its cleaned
// copy: what every platform does alike. Where the list is and how it is replaced are in
// list_file_posix.cpp and list_file_windows.cpp.
#include "cleaning/list_file.h"

#include <algorithm>

#include "channels/file_device.h"
#include "commands/run_command.h"
#include "system/file_stream.h"
#include "system/refusal_reason.h"

namespace {

FileStream* listStream() { return fileStream(fileChannelOf(ListFileChannel)); }

// Writes the list file's first `prefix` bytes, read again from its channel, to the cleaned copy.
bool copyPrefixAgain(std::int64_t prefix) {
  FileStream* from = listStream();
  Channel* copy = lookupChannel(CleanedCopyChannel);
  if (from == nullptr) return false;
  char block[StreamBufferSize];
  for (std::int64_t done = 0; done < prefix;) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(prefix - done, sizeof block));
    const std::int64_t got = readFileAt(*from, done, block, wanted);
    if (got <= 0) return false;
    if (writeChannelBytes(copy, block, static_cast<std::size_t>(got)) != StatusCode::Ok) {
      return false;
    }
    done += got;
  }
  return true;
}

// The copy's channel closes before the copy is removed or reopened: on Windows its handle shares
// neither writing nor deleting. False when its last bytes could not be written.
bool closeCleanedCopy(ListFile& list) {
  list.copyHandle = -1;
  return closeChannel(CleanedCopyChannel) != StatusCode::TransferFailed;
}

}  // namespace

ListFile::~ListFile() {
  closeCleanedCopy(*this);
  if (copyMade) removeCleanedCopy(*this);
  closeChannel(ListFileChannel);
  releaseDirectory(directory);
}

bool openListFile(ListFile& list, std::string& why) {
  if (const char* refused = commandRefusesPath(list.path)) {
    why = refused;
    return false;
  }
  if (!holdListDirectory(list.path, list.directory, list.leaf, why)) return false;
  // The search lists nothing else; a file list that names another file was not written by it.
  if (!isListFileName(list.leaf, list.name)) {
    why = "its name is not " + Text(list.name);
    return false;
  }
  if (openChannelIn(list.directory, list.leaf, OpenMode::Input, 0, 0, ListFileChannel, 0) !=
      StatusCode::Ok) {
    closeChannel(ListFileChannel);  // a failed size measurement leaves the channel open
    why = "cannot open the file";
    return false;
  }
  const Channel* channel = lookupChannel(ListFileChannel);
  // Not a regular file, or one whose length the open did not learn: it is read, and then found
  // changed, never replaced.
  list.stateKnown = fileStateAtOpen(fileChannelOf(ListFileChannel), &list.state) &&
                    list.state.size == channel->size;
  list.listHandle = listStream()->handle;
  return true;
}

std::int64_t listFilePosition() {
  const FileStream* stream = listStream();
  return stream == nullptr ? 0 : streamPosition(*stream);
}

bool listFileEndsWithCrLf(const ListFile& list) {
  if (list.state.size == 0) return true;
  FileStream* stream = listStream();
  char tail[2] = {};
  return stream != nullptr && list.state.size >= 2 &&
         readFileAt(*stream, list.state.size - 2, tail, sizeof tail) == 2 && tail[0] == '\r' &&
         tail[1] == '\n';
}

bool startCleanedCopy(ListFile& list, std::int64_t prefix, const char* buffered, std::string& why) {
  const bool opened =
      openChannel(CleanedCopyName, OpenMode::Output, 0, 0, CleanedCopyChannel, 0) == StatusCode::Ok;
  list.copyMade = opened && fileStateAtOpen(fileChannelOf(CleanedCopyChannel), &list.copyState);
  if (list.copyMade) list.copyHandle = fileStream(fileChannelOf(CleanedCopyChannel))->handle;
  const bool written =
      list.copyMade &&
      (buffered != nullptr ? writeChannelBytes(lookupChannel(CleanedCopyChannel), buffered,
                                               static_cast<std::size_t>(prefix)) == StatusCode::Ok
                           : copyPrefixAgain(prefix));
  if (written) return true;
  closeCleanedCopy(list);
  if (list.copyMade) {
    removeCleanedCopy(list);
  } else if (opened) {
    // Made, but not as a regular file whose identity is known: not a copy to move into place.
    removeOwnFile(CleanedCopyName);
  }
  why = "cannot write list.tmp" + nameOwnerText(CleanedCopyName);
  return false;
}

bool listFileReadFailed() {
  return listStream() == nullptr || fileFailed(fileChannelOf(ListFileChannel)) ||
         fileLineTooLong(fileChannelOf(ListFileChannel));
}

ListOutcome stageListFile(ListFile& list, std::string& reason) {
  if (!replacementsWaitForBatch()) {
    // Replaced at once (Windows): the copy is opened again without write sharing, to be made
    // ready and renamed, and the list is guarded without it, so both channels close first.
    const bool copyClosed = closeCleanedCopy(list);
    closeChannel(ListFileChannel);
    list.listHandle = -1;
    if (!copyClosed) {
      removeCleanedCopy(list);
      reason = "cannot write list.tmp";
      return ListOutcome::Failed;
    }
  }
  return stageListCopy(list, reason);
}
