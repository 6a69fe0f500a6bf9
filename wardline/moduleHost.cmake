# Module records, directory loading and the debug decorators.
target_sources(wardline PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/moduleListObserver.h
  ${CMAKE_CURRENT_LIST_DIR}/AlarmDebugTrace.h ${CMAKE_CURRENT_LIST_DIR}/AlarmDebugTrace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AlmConfig.h ${CMAKE_CURRENT_LIST_DIR}/AlmConfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AcqConfig.h ${CMAKE_CURRENT_LIST_DIR}/AcqConfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OutConfig.h ${CMAKE_CURRENT_LIST_DIR}/OutConfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LoadDirectory.h ${CMAKE_CURRENT_LIST_DIR}/LoadDirectory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LoadDirectoryInputs.h ${CMAKE_CURRENT_LIST_DIR}/LoadDirectoryInputs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LoadDirectoryOutputs.h ${CMAKE_CURRENT_LIST_DIR}/LoadDirectoryOutputs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AlarmAcqDebugDecorator.h ${CMAKE_CURRENT_LIST_DIR}/AlarmAcqDebugDecorator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AlarmOutDebugDecorator.h ${CMAKE_CURRENT_LIST_DIR}/AlarmOutDebugDecorator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AlarmEventAcqDebugDecorator.h ${CMAKE_CURRENT_LIST_DIR}/AlarmEventAcqDebugDecorator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AlarmEventOutDebugDecorator.h ${CMAKE_CURRENT_LIST_DIR}/AlarmEventOutDebugDecorator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AlarmEventProcessDebugDecorator.h ${CMAKE_CURRENT_LIST_DIR}/AlarmEventProcessDebugDecorator.cpp
)
