// Helpers shared by the Verilator benches: the exit status, a repeatable random source and
// a substring test for message checks.
package kip_bench_pkg;
  // Exit status of the simulation (0 pass), set before $finish; see sim_main.cpp.
  import "DPI-C" function void kip_bench_exit(input int code);

  // xorshift32: the same sequence in every simulator.
  function automatic int unsigned next_random(inout int unsigned state);
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  endfunction

  function automatic bit contains(string s, string part);
    for (int i = 0; i + part.len() <= s.len(); i++)
      if (s.substr(i, i + part.len() - 1) == part) return 1'b1;
    return 1'b0;
  endfunction

  // Name of the bench chosen with +test=<name>.
  function automatic string selected_test();
    string t;
    if (!$value$plusargs("test=%s", t)) t = "";
    return t;
  endfunction
endpackage
