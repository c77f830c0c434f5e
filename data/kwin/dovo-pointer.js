// Loaded into KWin by Dovo: tells Dovo where the pointer is, since a Wayland
// client cannot ask. Dovo samples five times a second, so a 1000 Hz mouse is
// thinned to at most one call per 20 ms: the first move is sent at once, the
// last one when the 20 ms are over, and nothing while the pointer rests.
var dovoPeriodMs = 20;
var dovoPending = false;
var dovoTimer = new QTimer();
dovoTimer.interval = dovoPeriodMs;
dovoTimer.singleShot = true;

function dovoSend() {
    var position = workspace.cursorPos;
    // KWin 6 gives fractional logical positions, 5.27 whole ones.
    callDBus("net.quendorvil.Dovo", "/net/quendorvil/Dovo/Pointer", "net.quendorvil.Dovo.Pointer",
             "Report", Math.round(position.x), Math.round(position.y));
}

dovoTimer.timeout.connect(function () {
    if (dovoPending) {
        dovoPending = false;
        dovoSend();
        dovoTimer.start();
    }
});

workspace.cursorPosChanged.connect(function () {
    if (dovoTimer.active) {
        dovoPending = true;
        return;
    }
    dovoSend();
    dovoTimer.start();
});

// Dovo forgot the pointer when it loaded this script: where counting starts.
dovoSend();
