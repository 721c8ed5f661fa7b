// Where the window keeps its settings, and how that file is made safe for
// the API key it holds.
#pragma once

#include <QString>

// Beside the executable (its path with ".ini" appended) when that folder is
// writable; otherwise in the user's configuration folder ($XDG_CONFIG_HOME
// when it is an absolute path, else aHome/.config), in a folder named after
// the program: an installed program never loses its settings silently.
QString IniFileNameFor(const QString& aExecutable, bool aFolderWritable, const QString& aXdgConfigHome,
                       const QString& aHome);

// IniFileNameFor this program, this user and this environment.
QString DefaultIniFileName();

// Makes aFileName an owner-only (0600) file before settings go into it:
// creates its folder (0700) and the file when missing, and takes the rights
// of others from an existing one. Failures are left to the writer to meet.
void PrepareOwnerOnlyFile(const QString& aFileName);
