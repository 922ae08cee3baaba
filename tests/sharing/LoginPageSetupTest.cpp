// The application configures every log-in page as it is made (the booth
// installs its script-error monitor this way).
#include <QVBoxLayout>
#include <nlohmann/json.hpp>
#include <QWidget>

#include <vector>

#include "WebViewTestSupport.h"
#include "sharing/LoginWebView.h"

namespace {

class LoginPageSetup : public WebViewTest {
protected:
    void TearDown() override {
        LoginWebView::setPageSetup({});
        WebViewTest::TearDown();
    }
};

TEST_F(LoginPageSetup, EveryLogInPageIsHandedToTheApplicationBeforeItLoads) {
    std::vector<QWebEnginePage*> pages;
    std::vector<QUrl> urlsSeen;
    LoginWebView::setPageSetup([&](QWebEnginePage* page) {
        pages.push_back(page);
        urlsSeen.push_back(page->url());
    });
    QWidget container;
    new QVBoxLayout(&container);
    auto* first = new LoginWebView(&container);
    auto* second = new LoginWebView(&container);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0], first->page());
    EXPECT_EQ(pages[1], second->page());
    // Clearing the cookies moves each view to a page of its own new profile.
    LoginWebView::clearCookiesAndCache();
    ASSERT_EQ(pages.size(), 4u);
    EXPECT_EQ(pages[2], first->page());
    EXPECT_EQ(pages[3], second->page());
    for (const auto& url : urlsSeen) EXPECT_TRUE(url.isEmpty()) << url.toString().toStdString();
    first->cleanup();
    second->cleanup();
}

}  // namespace
