// Firmware image set discovery: names, sets, order, offsets, and what does
// not count.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

#include "app_test_util.h"
#include "dialog_fixture.h"

namespace {

class ImageSetTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    folder_ = path("fw");
    ASSERT_TRUE(QDir().mkpath(folder_));
  }
  void touch(const QString& name, int size = 512) {
    ASSERT_TRUE(apptest::writeFile(folder_ + QLatin1Char('/') + name, QByteArray(size, 'x')));
  }
  CCalcFWUpdateMSDialog* scan() {
    CCalcFWUpdateMSDialog* d = make(folder_);
    d->discoverImageSet();
    return d;
  }
  QStringList names() const {
    QStringList out;
    for (const FWImageEntry& entry : dialog_->imageList) out << entry.fileName;
    return out;
  }
  QList<qint64> offsets() const {
    QList<qint64> out;
    for (const FWImageEntry& entry : dialog_->imageList) out << entry.targetOffset;
    return out;
  }
  void expectNoUpdates() {
    EXPECT_EQ(dialog_->statusLabel->text(), QStringLiteral("No updates are available"));
    EXPECT_FALSE(dialog_->browseButton->isHidden());
    EXPECT_TRUE(dialog_->cancelButton->isHidden());
    EXPECT_TRUE(dialog_->progressBar->isHidden());
    EXPECT_TRUE(dialog_->worker->stopRequested.load());
  }
  QString folder_;
};

TEST_F(ImageSetTest, LegacySetInTransferOrderWithOffsetsAndFirstSelected) {
  touch("MASTER.DAT", 1024);
  touch("KORVAARM.ROM");
  touch("APPSDISK.DAT");
  CCalcFWUpdateMSDialog* d = scan();
  EXPECT_EQ(names(), QStringList({"APPSDISK.DAT", "KORVAARM.ROM", "MASTER.DAT"}));
  EXPECT_EQ(offsets(), (QList<qint64>{0x500000, 0, 0x100000}));
  EXPECT_FALSE(d->prefixedSet);
  EXPECT_EQ(d->currentImage, 0);
  const FWImageEntry& first = d->imageList.at(0);
  EXPECT_EQ(first.path,
            QDir::toNativeSeparators(QFileInfo(folder_ + "/APPSDISK.DAT").absoluteFilePath()));
  EXPECT_EQ(d->imageList.at(2).size, 1024);
  EXPECT_EQ(d->worker->imagePath.get(), first.path);
  EXPECT_EQ(d->worker->targetOffset.get(), 0x500000);
  EXPECT_EQ(d->imageLabel->text(), first.path);
  EXPECT_TRUE(d->browseButton->isHidden());
  EXPECT_FALSE(d->cancelButton->isHidden());
  EXPECT_TRUE(d->statusLabel->text().isEmpty());
}

TEST_F(ImageSetTest, LetterCaseAndWhichSetWins) {
  const struct {
    const char* what;
    QStringList files, names;
    QList<qint64> offsets;
    bool prefixed, complete;
  } cases[] = {
      {"names keep their case",
       {"appsdisk.dat", "KorvaArm.rom", "master.DAT"},
       {"appsdisk.dat", "KorvaArm.rom", "master.DAT"},
       {0x500000, 0, 0x100000},
       false,
       true},
      {"prefixed order: application, master, system",
       {"NORZA_OS.ROM", "norza_master.dat", "NORZA_APP.DAT"},
       {"NORZA_APP.DAT", "norza_master.dat", "NORZA_OS.ROM"},
       {0x500000, 0x100000, 0},
       true,
       true},
      {"one prefixed file hides a complete legacy set",
       {"APPSDISK.DAT", "KORVAARM.ROM", "MASTER.DAT", "NORZA_APP.DAT"},
       {"NORZA_APP.DAT"},
       {0x500000},
       true,
       false},
      {"both complete: the prefixed set",
       {"APPSDISK.DAT", "KORVAARM.ROM", "MASTER.DAT", "NORZA_APP.DAT", "NORZA_OS.ROM",
        "NORZA_MASTER.DAT"},
       {"NORZA_APP.DAT", "NORZA_MASTER.DAT", "NORZA_OS.ROM"},
       {0x500000, 0x100000, 0},
       true,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(QDir(folder_).removeRecursively() && QDir().mkpath(folder_));
    for (const QString& name : c.files) touch(name);
    CCalcFWUpdateMSDialog* d = scan();
    EXPECT_EQ(names(), c.names);
    EXPECT_EQ(offsets(), c.offsets);
    EXPECT_EQ(d->prefixedSet, c.prefixed);
    if (c.complete) {
      EXPECT_TRUE(d->browseButton->isHidden());
    } else {
      expectNoUpdates();
    }
  }
}

TEST_F(ImageSetTest, PartialEmptyOrMissingFolderMeansNoUpdates) {
  touch("APPSDISK.DAT");
  touch("MASTER.DAT");
  scan();
  EXPECT_EQ(dialog_->imageList.size(), 2);
  expectNoUpdates();

  QDir(folder_).removeRecursively();
  QDir().mkpath(folder_);
  scan();
  EXPECT_TRUE(dialog_->imageList.isEmpty());
  expectNoUpdates();

  folder_ = path("missing");
  scan();
  EXPECT_TRUE(dialog_->imageList.isEmpty());
  expectNoUpdates();
}

TEST_F(ImageSetTest, FoldersHiddenFilesAndUnrelatedFilesDoNotCount) {
  touch("APPSDISK.DAT");
  touch("KORVAARM.ROM");
  ASSERT_TRUE(QDir(folder_).mkdir("MASTER.DAT"));  // a folder named like an image
  touch(".MASTER.DAT");                            // hidden
  touch("readme.txt");
  touch("NORZA_OS.DAT");
  scan();
  EXPECT_EQ(names(), QStringList({"APPSDISK.DAT", "KORVAARM.ROM"}));
  expectNoUpdates();

  ASSERT_TRUE(QDir(folder_ + "/MASTER.DAT").removeRecursively());
  touch("MASTER.DAT");
  scan();
  EXPECT_EQ(names(), QStringList({"APPSDISK.DAT", "KORVAARM.ROM", "MASTER.DAT"}));
}

TEST_F(ImageSetTest, TwoFilesOfOneKindDifferingInCaseAreNoCompleteSet) {
  touch("MASTER.DAT");
  touch("master.dat");
  if (QDir(folder_).entryList(QDir::Files).size() < 2) {
    GTEST_SKIP() << "the file system folds letter case (Windows): one file";
  }
  touch("APPSDISK.DAT");
  scan();
  EXPECT_EQ(dialog_->imageList.size(), 3);
  expectNoUpdates();
}

// A set a calculator cannot hold as it is, is refused with the reason: an
// image that would run into the next one on the disk (named, with the most
// it may hold), an empty image; and only a-z are letters of the names.
TEST_F(ImageSetTest, ASetThatCannotBeWrittenAsItIsIsRefusedAndSaysWhy) {
  touch("APPSDISK.DAT");
  touch("MASTER.DAT");
  touch("KORVAARM.ROM", 0x100000 + 512);
  scan();
  expectNoUpdates();
  EXPECT_TRUE(dialog_->noteLabel->text().startsWith(
      QStringLiteral("The image file KORVAARM.ROM is larger than the 1048576 bytes it may have")))
      << dialog_->noteLabel->text().toStdString();
  touch("KORVAARM.ROM", 0x100000);  // ends where the master image begins
  touch("MASTER.DAT", 0x400000 + 512);
  scan();
  expectNoUpdates();
  EXPECT_TRUE(dialog_->noteLabel->text().contains(
      QStringLiteral("MASTER.DAT is larger than the 4194304 bytes")));

  touch("MASTER.DAT", 0);
  scan();
  expectNoUpdates();
  EXPECT_TRUE(dialog_->noteLabel->text().startsWith(
      QStringLiteral("The file MASTER.DAT is no firmware image: the file is empty.")));

  touch("MASTER.DAT", 0x400000);
  ASSERT_TRUE(
      QFile::rename(folder_ + "/APPSDISK.DAT", folder_ + QStringLiteral("/APP\u017fDISK.DAT")));
  scan();
  EXPECT_EQ(names(), QStringList({"KORVAARM.ROM", "MASTER.DAT"}));
  expectNoUpdates();
}

}  // namespace
