#pragma once
// Files only their user may read, in folders only their user may change: the run journal and
// the copies kept when a save fails hold a user's measurements, and their names can be
// guessed. Nothing here follows a symbolic link at the name it creates, and nothing is
// created where a file already is.

#include <QByteArray>
#include <QString>
#include <optional>

namespace zrvlog {

/// Makes folder (and its missing parents) and leaves it private (mode 0700). Refuses a
/// folder that is a link or belongs to another user. Why not, for people, if it fails.
std::optional<QString> makePrivateFolder(const QString& folder);

/// Creates a new file at path (mode 0600) for writing: -1 with errno when the name is taken
/// (by a file or a link alike, EEXIST) or the file cannot be made.
int createPrivateFile(const QString& path);

/// Replaces path with bytes through a private temporary file beside it, synced before it
/// takes the name, so that path holds the old bytes or the new ones, never a part.
std::optional<QString> replacePrivateFile(const QString& path, const QByteArray& bytes);

/// Syncs folder's entries to the disk, so that a file created or renamed there survives a
/// power cut. False when the folder cannot be opened or synced.
bool syncFolder(const QString& folder);

/// The system's text for an errno value.
QString systemError(int error);

}  // namespace zrvlog
