#pragma once
// HelpBook: the help pages of the program, their contents and a full-text search.
//
// The pages are HTML files in one folder, installed with the program under
// share/zrvlog/help (helpDirectoryCandidates() says where they are looked for). The folder's
// contents.xml lists the topics as a tree, every page of the folder at least once:
//
//   <contents title="ZRVLOG Help">
//     <topic title="Getting started" ref="getting-started.html">
//       <topic title="The main window" ref="getting-started.html#window"/>
//     </topic>
//   </contents>
//
// The search looks for pages that hold every word of the query; a word of the query matches
// the words of a page that start with it, without regard to case ("calib" finds
// "Calibration"). Pages rank by the number of matches, matches in the title counting more.

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace zrvlog {

struct HelpTopic {
  QString title;
  QString ref;  ///< a page of the folder, with an optional #anchor
  QList<HelpTopic> children;
};

struct HelpPage {
  QString file;   ///< file name in the folder
  QString title;  ///< the page's <title>
  QString text;   ///< the text as the page shows it
};

struct HelpHit {
  QString file;
  QString title;
  QString excerpt;  ///< the text around the first match
  int score = 0;
};

/// Where the help folder is looked for, in this order: share/zrvlog/help beside the
/// program's bin folder (installed, and the copy in the build tree), then the source tree.
QStringList helpDirectoryCandidates(const QString& applicationDir);
/// The first candidate that holds contents.xml, or empty text.
QString findHelpDirectory(const QStringList& candidates);

class HelpBook {
 public:
  static inline const QString kContentsFile = QStringLiteral("contents.xml");

  /// Reads contents.xml and every page it names. False, with the reason in *error, when the
  /// contents cannot be read or name a page that cannot be read.
  bool load(const QString& directory, QString* error = nullptr);

  const QString& directory() const { return m_directory; }
  const QString& title() const { return m_title; }
  const QList<HelpTopic>& topics() const { return m_topics; }
  /// The pages in the order the contents first name them.
  const QList<HelpPage>& pages() const { return m_pages; }
  /// The first topic's page: the one the window opens on.
  QString home() const;
  /// The page with this file name, or nullptr.
  const HelpPage* page(const QString& file) const;

  /// Pages holding every word of the query, best first.
  QList<HelpHit> search(const QString& query) const;

  /// The words of a text as the search sees them: runs of letters and digits, lower case.
  static QStringList words(const QString& text);
  /// The distinct words of a query.
  static QStringList searchTerms(const QString& query);
  /// Matches the words of a page that a search for terms found (for highlighting).
  static QRegularExpression matchPattern(const QStringList& terms);

 private:
  struct Indexed {
    QStringList words;
    QStringList titleWords;
  };
  QString m_directory;
  QString m_title;
  QList<HelpTopic> m_topics;
  QList<HelpPage> m_pages;
  QList<Indexed> m_index;
};

}  // namespace zrvlog
