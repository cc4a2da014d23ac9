#include "app/dialogs/dialogs.h"

#include <gtest/gtest.h>

#include <QDialog>

#include "tests/support/scripteddialogs.h"

namespace zrvlog {
namespace {

TEST(Dialogs, PipeFiltersBecomeQtFilters) {
  struct Case {
    const char* pipe;
    const char* qt;
  } cases[] = {
      {"ZRV Files (*.zrv)|*.zrv|All Files (*.*)|*.*", "ZRV Files (*.zrv);;All Files (*.*)"},
      {"Comma delimited (*.csv)|*.csv|Text file (*.txt)|*.txt|All Files|*.*||",
       "Comma delimited (*.csv);;Text file (*.txt);;All Files (*.*)"},
      {"Pictures|*.bmp;*.png", "Pictures (*.bmp *.png)"},
      {"", ""},
  };
  for (const auto& tc : cases)
    EXPECT_EQ(toQtFilter(QString::fromUtf8(tc.pipe)), QString::fromUtf8(tc.qt));
}

TEST(Dialogs, ANameWithoutAKnownExtensionGetsTheSelectedFiltersOne) {
  const QString pictures = QStringLiteral(
      "Bitmap (*.bmp)|*.bmp|PNG image (*.png)|*.png|Pictures|*.JPG;*.jpeg|All Files|*.*||");
  EXPECT_EQ(filterExtensions(pictures),
            (QList<QStringList>{{"bmp"}, {"png"}, {"jpg", "jpeg"}, {}}));
  const struct {
    const char* typed;
    int filter;
    const char* path;
  } cases[] = {
      {"/d/run2-graph", 1, "/d/run2-graph.png"},  // the selected filter's extension
      {"/d/run2", 2, "/d/run2.jpg"},              // its first one
      {"/d/run2.png", 0, "/d/run2.png"},          // a known extension stays, whatever is selected
      {"/d/run2.JPEG", 1, "/d/run2.JPEG"},
      {"/d/run.2", 0, "/d/run.2.bmp"},  // an extension no filter names is part of the name
      {"/d/run2", 3, "/d/run2"},        // All Files: as typed
      {"/d/run2", 9, "/d/run2"},        // no such filter
      {"", 1, ""},                      // cancelled
      {"/d/", 1, "/d/"},                // no name to add to
  };
  for (const auto& c : cases)
    EXPECT_EQ(savePathFor({QString::fromUtf8(c.typed), c.filter, 0}, pictures),
              QString::fromUtf8(c.path))
        << c.typed << " " << c.filter;
}

TEST(ScriptedDialogs, AnswersInOrderAndRecordsEveryQuestion) {
  zrvtest::ScriptedDialogs dialogs;
  dialogs.answerMessage(Answer::Yes)
      .answerSaveFile(QStringLiteral("/tmp/a.zrv"))
      .answerInput(QStringLiteral("1e-3"));
  Dialogs& d = dialogs;
  EXPECT_EQ(d.message(nullptr, QStringLiteral("Save file?"), QStringLiteral("ZRVLOG"),
                      Buttons::YesNo, Icon::None),
            Answer::Yes);
  EXPECT_EQ(d.saveFile(nullptr, {QStringLiteral("Save As"), {}, {}}).path,
            QStringLiteral("/tmp/a.zrv"));
  EXPECT_EQ(d.input(nullptr, QStringLiteral("New Value"), QStringLiteral("Edit cell"),
                    QStringLiteral("0")),
            QStringLiteral("1e-3"));
  EXPECT_TRUE(dialogs.scriptUsedUp());
  ASSERT_EQ(dialogs.asked().size(), 3u);
  EXPECT_EQ(dialogs.asked()[1].title, QStringLiteral("Save As"));
  EXPECT_EQ(dialogs.messages(), std::vector<QString>{QStringLiteral("Save file?")});
}

TEST(ScriptedDialogs, ModalDialogsRunTheScriptedFunction) {
  zrvtest::ScriptedDialogs dialogs;
  dialogs.answerExec([](QDialog& dialog) {
    EXPECT_TRUE(dialog.isVisible());
    return int(QDialog::Accepted);
  });
  QDialog dialog;
  dialog.setWindowTitle(QStringLiteral("Options"));
  EXPECT_EQ(static_cast<Dialogs&>(dialogs).exec(dialog), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
}

}  // namespace
}  // namespace zrvlog
