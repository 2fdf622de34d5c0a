#include "pellbase.h"

CPellBase::CPellBase(int id, QWidget* parent) : QWidget(parent), m_nId(id) {}
