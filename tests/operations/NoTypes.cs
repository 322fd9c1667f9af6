// Deliberately declares no type: the assembly's TypeDef table holds only the module row.
