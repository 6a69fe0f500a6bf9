# The editor's working folder, the persistent lock and download lists, their
# viewer, and the login, system choice and wait dialogs.
target_sources(setdesk PRIVATE
  clientFolder.h clientFolder.cpp
  pair.h pair.cpp
  lock_list.h lock_list.cpp
  downloadEntry.h downloadEntry.cpp
  download_list.h download_list.cpp
  downloadListViewBase.ui
  downloadListView.h downloadListView.cpp
  loginBase.ui
  login.h login.cpp
  selectsystemBase.ui
  selectsystem.h selectsystem.cpp
  waitDlgBase.ui
  waitDlg.h waitDlg.cpp
  doWaitDialog.h doWaitDialog.cpp
)
# The dialogs derive from their forms, so users of the headers need the
# generated ui_*.h too.
target_include_directories(setdesk PUBLIC ${CMAKE_CURRENT_BINARY_DIR}/setdesk_autogen/include)
