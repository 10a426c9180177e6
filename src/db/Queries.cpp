#include "db/Queries.h"

namespace velmor {

void releaseFileList(std::unique_ptr<FileList>& files) {
  if (!files) return;
  for (FileRecord* record : *files) FileRecord::release(record);
  files.reset();
}

VelmorRoomQuery::~VelmorRoomQuery() {
  releaseFileList(files);
}

void VelmorFileQuery::carry(FileRecord* record) {
  file = record;
  usersCanRead = record->usersCanRead;
  usersCanWrite = record->usersCanWrite;
}

VelmorFileQuery::~VelmorFileQuery() {
  FileRecord::release(file);
  FileRecord::release(loaded);
}

}  // namespace velmor
