#pragma once

#include <QIODevice>
#include <QString>

// A stamped copy on its way to disk. It is written into a temporary file in the target's own
// folder, which takes the target's place only once every byte is known to be in it: each write
// is checked, the data is synced, and only then does the file take the target's name (renamed
// over it when there is a file to replace). Until then the target stays exactly as it was, and a
// copy that is given up (or a program that is killed) leaves no temporary file behind: the file
// has no name before it is complete. Once named, the folder is synced too, so that a copy
// reported written keeps its name through a power cut.
class OutputFile : public QIODevice {
    Q_OBJECT

public:
    // Opens the temporary file for the target. Raises a Failure that names the target and gives
    // the system's reason.
    explicit OutputFile(const QString& target);
    ~OutputFile() override;

    const QString& target() const { return target_; }

    // Puts the finished file in the target's place. Raises a Failure naming the target and the
    // system's reason; the target is then left as it was and nothing stays behind.
    void commit();
    // Gives the copy up; the target stays as it was.
    void discard();
    // Sets an extended attribute on the copy before it takes its name, so that the name never
    // shows a file without it. False when the file system holds no such attribute.
    bool setAttribute(const char* name, const QByteArray& value);

    // Random access, for encoders that go back to fill in what they learn later.
    bool isSequential() const override { return false; }
    qint64 size() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    [[noreturn]] void fail(int errorNumber);
    // Gives the unnamed file the name; false when a file of that name exists.
    bool linkTo(const QByteArray& name);
    // Syncs the folder that holds the new name and removes hidden copies killed runs left.
    void finishCommit(bool linked);
    QString reason(int errorNumber) const;
    void closeDescriptor();

    QString target_;
    QByteArray encodedTarget_;
    int fd_ = -1;
    // Set when the system cannot make a file without a name; the named temporary file is then
    // removed whenever the copy is given up.
    QByteArray namedTemporary_;
    bool committed_ = false;
};
