#pragma once

#include <cstdint>

namespace velmor {

class User;
struct FileRecord;
class VelmorFileQuery;

// Answers a read: FileUnchanged for the version the reader holds, or FileContent with the
// first chunk (the record then becomes the reader's transfer when more chunks follow).
void sendFileToReader(User& user, FileRecord& file, std::uint32_t versionHeld);
// The completion of a content load: the reply to the read that asked for it.
void completeLoadFileContent(User& user, VelmorFileQuery& query);

}  // namespace velmor
