// Three labels fed from the pointer every 200 ms, and nothing else: no
// settings, no tray icon, no error handling.  Whatever dovo spends beyond
// this is the price of its own features, which is what scripts/bench shows.
#include <QApplication>
#include <QCursor>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstdlib>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Dovo baseline"));
    // The size of dovo's window, so both repaint the same area.
    window.setFixedSize(312, 168);

    QLabel* labels[3];
    for (int i = 0; i < 3; ++i) {
        labels[i] = new QLabel(&window);
        labels[i]->setGeometry(8, 48 + 24 * i, 296, 25);
        labels[i]->setAlignment(Qt::AlignCenter);
    }

    QPoint last = QCursor::pos();
    long long travelled = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const QPoint now = QCursor::pos();
        travelled += std::abs(now.x() - last.x()) + std::abs(now.y() - last.y());
        last = now;
        labels[0]->setText(QString::number(travelled * 15 / 567) + QStringLiteral(" cm"));
        labels[1]->setText(QString::number(travelled * 15 / 56700) + QStringLiteral(" m"));
        labels[2]->setText(QString::number(travelled * 15 / 567000) + QStringLiteral(" km"));
    });
    timer.start(200);

    window.show();
    return app.exec();
}
