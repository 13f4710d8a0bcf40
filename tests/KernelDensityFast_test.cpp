// Placeholder: replaced by the tests of the vector density engine.
