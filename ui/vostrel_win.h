#pragma once
// The base of every window object: one top-level form with a result, the
// program's default font and edit colours, and Enter/Escape that act only
// without modifiers and only once the window has been up for a second (so a
// key meant for another window cannot confirm a window that just appeared).
// Also the frame the dialogs share and the modal run.
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace nuvex {

// A label with a click handler: the dialogs' hidden default controls and the
// notification entries are labels that act on a click.
class TClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    std::function<void()> OnClick;
    void Click();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// A window form's result: open until it is not kResultOpen.
inline constexpr int kResultOpen = 0;
inline constexpr int kResultAccept = 1;
inline constexpr int kResultCancel = 2;

// The top-level form of a window object. Result kResultOpen while open, then
// kResultAccept or kResultCancel.
class TVostrelForm : public QWidget {
    Q_OBJECT
public:
    explicit TVostrelForm(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);
    int Result() const { return result_; }
    void SetResult(int result);

signals:
    void ResultChanged(int result);

protected:
    // The close box and Alt+F4 end the window as Cancel does.
    void closeEvent(QCloseEvent* event) override;

private:
    int result_ = 0;
};

// "Clicks" a control as the user would: an enabled button through click(), a
// TClickLabel through its handler. Anything else, or none, does nothing.
void ClickControl(QWidget* control);

// The named family when the system has it, else the desktop's sans font (the
// Windows families the windows were designed with are rarely installed here).
QFont UiFont(std::string_view family, int pointSize);
QFont UiFontPixels(std::string_view family, int pixelSize);

// Brings a top-level widget to the front and asks for activation; true when it
// is the active window afterwards. Window managers may refuse focus stealing,
// so callers treat false as "shown, but not focused".
bool ForceForegroundWindow(QWidget* window);
// False on the platforms without a window stack (offscreen, minimal): there
// raising a window only earns a warning.
bool PlatformStacksWindows();

class TVostrelWin {
public:
    TVostrelWin();
    virtual ~TVostrelWin();
    TVostrelWin(const TVostrelWin&) = delete;
    TVostrelWin& operator=(const TVostrelWin&) = delete;

    // Created by the subclass's constructor; owned and freed with the object.
    TVostrelForm* Form = nullptr;
    QPointer<QWidget> DefaultControl; // clicked by Enter
    QPointer<QWidget> CancelControl;  // clicked by Escape
    double PreparedAt = 0;            // date-time (days) of the last Prepare

    // Call once all controls exist: default font, edit colours, key handling.
    // Starts the one-second guard again.
    void Prepare();
    int Result() const { return Form ? Form->Result() : kResultCancel; }

    // The key rule on its own, for the form's filter: true when the key was
    // taken (Enter or Escape, no modifier, guard over, control present).
    // target is the widget the key went to: Enter on a push button presses
    // that button instead of the default control.
    bool HandleKey(int key, Qt::KeyboardModifiers modifiers, QWidget* target = nullptr);

private:
    class KeyFilter;
    std::unique_ptr<KeyFilter> keyFilter_;
    // The guard runs on the monotonic tick so a wall-clock change cannot open
    // or close it.
    std::uint64_t preparedTick_ = 0;
};

// The header/content/footer frame of the dialogs.
struct TDialogFrame {
    QWidget* Header = nullptr;
    QLabel* Title = nullptr;
    QWidget* Content = nullptr;
    QWidget* Footer = nullptr;
    QPushButton* OkButton = nullptr;     // tag 1, the default control
    QPushButton* CancelButton = nullptr; // tag 2, the cancel control
};

inline constexpr int kDialogHeaderHeight = 52;
inline constexpr int kDialogFooterHeight = 48;
inline constexpr int kDialogButtonTop = 14;
inline constexpr int kDialogButtonHeight = 25;
inline constexpr int kDialogButtonWidth = 75;

// Builds the frame on win.Form (creating the form when it does not exist yet):
// a fixed-size dialog with the given client size, centred on the full screen,
// caption and title translated. With okCancel the OK and Cancel buttons are
// made and become the default and cancel controls.
TDialogFrame BuildDialogFrame(TVostrelWin& win, std::string_view caption, std::string_view title,
                              QSize clientSize, bool okCancel);

// Makes a button end the window with the given result when clicked.
void SetButtonResult(TVostrelWin& win, QAbstractButton* button, int result);

// Runs the window modally: disables the owner, shows the form, waits in a
// local event loop until the result is not 0, enables the owner again (its
// visibility, position and size stay as they were) and hides the form. For
// result 1 copyBack runs. Returns the result.
int RunModal(TVostrelWin& win, QWidget* owner, const std::function<void()>& copyBack = {});

} // namespace nuvex
