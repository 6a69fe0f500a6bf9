target_sources(setdesk PRIVATE
  response.h
  reply_handler.h
  server_comms.h server_comms.cpp
  replies/system_handler.h replies/system_handler.cpp
  replies/login_handler.h replies/login_handler.cpp
  replies/checkout_handler.h replies/checkout_handler.cpp
  replies/checkin_handler.h replies/checkin_handler.cpp
  replies/dir_handler.h replies/dir_handler.cpp
  replies/lock_handler.h replies/lock_handler.cpp
  replies/locklist_handler.h replies/locklist_handler.cpp
  replies/synclist_handler.h replies/synclist_handler.cpp
)
