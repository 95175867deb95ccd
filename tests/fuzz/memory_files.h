// Files in memory under the file seam, for the fuzz targets: no disk, no
// folder to clean up after a crash, and reads that come back in whatever
// sizes a target asks for, as a slow device's would.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace memfs {

// No files, no handles, every read as large as asked.
void reset();

void putFile(const std::string& name, const std::string& bytes);
// Held by another program: every open fails with 70.
void lockFile(const std::string& name);
bool exists(const std::string& name);
std::string contents(const std::string& name);

// Successive reads return at most these many bytes each, in turn (a 0 is
// taken as 1); empty: as many as asked.
void setReadSizes(std::vector<std::size_t> sizes);
// The read with this number (counted from 1 over all files) fails with the
// error; 0: none fails.
void failRead(int readNumber, int error);

int readOpens(const std::string& name);  // successful opens for reading
int openHandles();
int readCalls();  // over all files, failed ones included

}  // namespace memfs
