#pragma once

#include <cstdint>

namespace velmor {

class User;
struct FileRecord;
class VelmorFileQuery;

// Answers a read: FileUnchanged for the version the reader holds, or FileContent with the
// first chunk (the record then becomes the reader's transfer when more chunks follow).
void sendFileToReader(User& user, FileRecord& file, std::uint32_t versionHeld);
// The completion of a content load: the loaded content becomes the listed record's, and
// the reader, if he is still in the room, gets his reply.
void completeLoadFileContent(VelmorFileQuery& query);

}  // namespace velmor
