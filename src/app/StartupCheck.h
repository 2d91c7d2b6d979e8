#pragma once

class QWidget;

// The program cannot speak HTTPS without a TLS library. Without one, tells the operator in a
// modal box and returns false: the program then ends before its window is shown.
bool CheckTlsAvailable(bool hasTls, QWidget* parent = nullptr);
