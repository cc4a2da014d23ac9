#pragma once
// The picture formats the graph is written in, one row each. The Export menu, the export
// dialog's filters, the choice of a format by file name and the command line's --convert
// options and help are all made from these rows: a new format is a row and its writer.
//
// The table lives beside the view because the writers draw with it; the rest of the program
// reads the rows and never needs the plotting library.

#include <QString>
#include <QStringList>
#include <span>

#include "app/graphview/graphview.h"

namespace zrvlog {

struct PictureFormat {
  const char* id;          ///< "png": the command line's --png and the format's short name
  const char* menuText;    ///< "&PNG" in File > Export
  const char* filterText;  ///< "PNG image (*.png)" in the export dialog
  const char* extensions;  ///< "png", several joined by ';'; the first is added to bare names
  const char* help;        ///< what --convert's help says the option writes
  void (GraphView::*write)(const QString& path, const PictureOptions& options);

  QStringList extensionList() const;
  /// The row's pair of a pipe filter: "PNG image (*.png)|*.png".
  QString filter() const;
};

/// Every format, in menu order; the first is the default (bitmaps, as the export always was).
std::span<const PictureFormat> pictureFormats();
/// The format with this id, or nullptr.
const PictureFormat* pictureFormatById(const QString& id);
/// The format a file name's extension names, or nullptr.
const PictureFormat* pictureFormatForPath(const QString& path);
/// The export dialog's filter: every format, then "All Files".
QString picturesFilter();
/// The format a save dialog's answer stands for: the extension of the name when it is a
/// format's, else the filter pair selected (index into picturesFilter()), else the first.
const PictureFormat& pictureFormatFor(const QString& path, int selectedFilter);

/// The names of the picture styles on the command line ("shown", "light"); nothing for
/// another name.
std::optional<PictureStyle> pictureStyleByName(const QString& name);
QStringList pictureStyleNames();

}  // namespace zrvlog
