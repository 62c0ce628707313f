// The least a Qt Widgets program showing Japanese text costs: one window with
// one label, in the font the tool uses. Start-up time and memory of the tool
// are measured beside this program's. Built a second time as floor_timeline,
// which prints when each step ended, counted from the launch moment
// launch_probe hands over, as startup_timeline does for the tool.
#include <QApplication>
#include <QLabel>
#include <QWidget>

#ifdef FLOOR_TIMELINE
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {
long long microsecondsSinceLaunch()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char* launch = std::getenv("LAUNCH_PROBE_SPAWNED_US");
    return static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000 - (launch ? std::atoll(launch) : 0);
}
}  // namespace
#define FLOOR_MARK(name) const long long name = microsecondsSinceLaunch()
#else
#define FLOOR_MARK(name)
#endif

int main(int argc, char* argv[])
{
    FLOOR_MARK(entered);
    QApplication application(argc, argv);
    FLOOR_MARK(started);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Floor"));
    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")});
    font.setPixelSize(12);
    window.setFont(font);
    QLabel label(QString::fromUtf8("プログラムナンバー ="), &window);
    label.move(8, 32);
    window.setGeometry(192, 107, 221, 125);
    FLOOR_MARK(built);
    window.show();
#ifdef FLOOR_TIMELINE
    const long long shown = microsecondsSinceLaunch();
    std::printf("main=%lld qapplication=%lld window_built=%lld shown=%lld\n", entered, started, built, shown);
    std::fflush(stdout);
#endif
    return QApplication::exec();
}
