#pragma once
// The program entry: hand-off arguments from other programs first, everything
// else starts (or registers) the plug-in process.
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvex {

class TExePlugin;

// The hand-off kinds as the receiving window numbers them.
enum class HandOffKind { SendTo = 0, ReadMail = 1, MailTo = 2, MapiSend = 3 };

enum class EntryAction { SendTo, MailTo, ReadMail, Run };
// Case-sensitive substring tests, in this order: "sendto:", "mailto", "readmail".
EntryAction ClassifyEntry(const QString& firstArg);

// Hands the arguments to the running program over the hand-off socket,
// starting brannock (beside nuvex, else on PATH) when no copy answers.
// 0 once the running copy took the hand-off; 1 (logged) when it was not
// reached or took nothing, or when a word holds a line break. Send To names
// go as absolute paths, made so against this copy's working folder.
int ForwardHandOff(HandOffKind kind, const QStringList& args);
// The same with the command-line words as bytes.
int ForwardHandOff(HandOffKind kind, const std::vector<std::string>& words);

using PluginMaker = std::function<std::unique_ptr<TExePlugin>()>;
int NuvexEntry(int argc, char** argv, const PluginMaker& makePlugin);

} // namespace nuvex
