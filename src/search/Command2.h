// The main window's search button: takes the tree's nodes as the search's source and shows
// the search window.
#pragma once

class Form1;

// Loads the search window if it is not loaded (running its Form_Load), otherwise brings it
// forward; either way it is shown modelessly, without an owner.
void Command2_Click(Form1 &form);

// Wires the main window to the search: its search button runs Command2_Click, and F3 in it
// presses the search window's find-next button while that window is open.
void ConnectSearch(Form1 &form);
