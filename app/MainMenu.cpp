#include "app/MainMenu.h"

namespace taviro {

std::vector<platform::Menu> mainMenu() {
    using platform::MenuAction;
    const platform::MenuItem separator{};
    return {
        {"Taviro", {{"退出Taviro", MenuAction::terminate, "<Primary>q"}}},
        {"编辑",
         {{"撤销", MenuAction::undo, "<Primary>z"},
          {"重做", MenuAction::redo, "<Primary><Shift>z"},
          separator,
          {"剪切", MenuAction::cut, "<Primary>x"},
          {"复制", MenuAction::copy, "<Primary>c"},
          {"粘贴", MenuAction::paste, "<Primary>v"},
          {"删除", MenuAction::deleteSelection, ""},
          separator,
          {"全选", MenuAction::selectAll, "<Primary>a"}}},
        {"查看",
         {{"回到首页", MenuAction::loadHome, "<Primary>1"},
          {"刷新", MenuAction::reloadPage, "<Primary>r"},
          {"在浏览器打开", MenuAction::openInBrowser, "<Primary>o"}}},
    };
}

}  // namespace taviro
