#pragma once
// The file steps of the database step of start-up: recover the data of an
// interrupted start from zvlt.tmp, check zvlt.dat, compact it through
// zvlt.tmp, repair what the engine can still read, or create the file. At
// no moment is the only complete copy of the data in a file that a later
// start discards. Failures throw DatabaseError with a message fit for the
// operator.
#include <QString>
#include <string>

namespace recovery {

// Names of the files of one start-up.
struct Paths {
  QString folder;   // the program folder, or the folder a linked zvlt.dat points into
  QString dat;      // folder/zvlt.dat, or the file it links to
  QString tmp;      // workDir/zvlt.tmp (beside a linked file), the compacted copy
  QString staging;  // folder/zvlt.new: a copy of zvlt.tmp on its way to zvlt.dat
};

// programFolder holds zvlt.dat; workDir is where zvlt.tmp is made.
Paths PathsFor(const QString& programFolder, const QString& workDir);

// Leaves a sound zvlt.dat (compacted, with both tables) and no zvlt.tmp.
void PrepareFile(const Paths& p);

// "path: message", the path as the operator writes it.
std::string InFile(const QString& path, const std::string& message);

}  // namespace recovery
