// What the command line says about folders it cannot search, in Chinese as
// the rest of the program speaks, with the folder's readable name.
#pragma once

#include <string>

// Why a folder could not be opened or read (an errno value), in words.
std::string folderErrorText(int error);

// Empty when `folder` can be searched; else the message saying why not (an
// empty text, a folder that does not exist, a file, one that cannot be read).
// An empty text is refused: the walk would take it for the root folder.
std::string searchFolderProblem(const std::string& folder);

// The line for a folder below the searched one that the walk could not read.
std::string unreadableFolderMessage(const std::string& folder, int error);
