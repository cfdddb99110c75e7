// What the command line may ask of the program: the files and folders to list at start-up (the
// desktop's "Open with" passes them) and --version. Every other argument is ignored, so that a
// start without files is the same as ever.
#pragma once

#include <QStringList>

// The arguments that name files or folders, in their order: every argument but the program name
// and options, that is, arguments starting with "-" and the values of Qt's own options that take
// one ("-style fusion"). After "--" every argument is a name.
QStringList StartupPaths(int argc, char** argv);

// True when an option before "--" is --version.
bool AsksForVersion(int argc, char** argv);
