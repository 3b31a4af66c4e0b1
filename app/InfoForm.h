#pragma once

#include <QWidget>

namespace Ui {
class InfoForm;
}

namespace rq70 {

// The maker's web shop: the address the About window shows and the one a click on it opens.
// Short enough to show whole in its label; opened as a web address.
inline constexpr const char* ShopAddress = "shop.karvo.example";
inline constexpr const char* RightsNotice = "\u00A9 2026 Karvo. All rights reserved.";

// The About window: version, flag, rights notice and the web-shop address.
class InfoForm : public QWidget {
    Q_OBJECT

public:
    // Loading lays the window over the main window.
    explicit InfoForm(QWidget* mainWindow);
    ~InfoForm() override;

    Ui::InfoForm* const ui;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Label3_Click();
};

} // namespace rq70
