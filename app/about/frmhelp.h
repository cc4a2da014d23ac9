#pragma once
// frmHelp: the help window. The pages of a HelpBook in a browser, beside a "Contents" tab
// with the topics as a tree and a "Search" tab with a search field and the pages found.
// Choosing a page found opens it with the words searched for highlighted.
//
// The window is not modal: it stays open beside the main window until it is closed.

#include <QMainWindow>
#include <QStringList>

#include "app/about/helpbook.h"

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QTabWidget;
class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;
class QUrl;

namespace zrvlog {

class frmHelp : public QMainWindow {
  Q_OBJECT

 public:
  /// A window over a loaded book; it opens on the book's home page.
  explicit frmHelp(HelpBook book, QWidget* parent = nullptr);

  const HelpBook& book() const { return m_book; }

  /// Brings the contents tab to the front.
  void showContents();
  /// Brings the search tab to the front with the keyboard in the search field.
  void showSearch();
  /// Searches the pages and lists the pages found; the number found.
  int search(const QString& query);
  /// Opens the page found at row of the result list, with the words searched highlighted.
  void openResult(int row);
  /// Opens a page of the book: a file name with an optional #anchor.
  void openPage(const QString& ref);
  /// The page shown: its file name in the book's folder.
  QString currentPage() const;
  /// The words highlighted in the page shown, as the page writes them.
  QStringList highlightedWords() const;

  QTreeWidget* contentsList() const { return m_contents; }
  QListWidget* resultList() const { return m_results; }
  QLabel* searchStatus() const { return m_searchStatus; }
  QTextBrowser* browser() const { return m_browser; }
  QTabWidget* tabs() const { return m_tabs; }

 private:
  void fillContents(const QList<HelpTopic>& topics, QTreeWidgetItem* parent);
  void onSourceChanged(const QUrl& url);
  void onContentsItem(QTreeWidgetItem* item);
  void selectContentsItem(const QUrl& url);
  void highlight(const QStringList& terms);

  HelpBook m_book;
  QTabWidget* m_tabs;
  QTreeWidget* m_contents;
  QLineEdit* m_searchField;
  QListWidget* m_results;
  QLabel* m_searchStatus;
  QTextBrowser* m_browser;
  QAction* m_back;
  QAction* m_forward;
  QStringList m_lastTerms;
  // The terms to highlight once the page being opened has loaded.
  QStringList m_pendingTerms;
  bool m_syncingContents = false;
};

}  // namespace zrvlog
